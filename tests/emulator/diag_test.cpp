// DIAG mode and its file system, driven over the pseudo-terminal.
#include <atomic>
#include <filesystem>
#include <fstream>

#include "emulator/pty_provider.h"
#include "tests/emulator/device.h"

namespace {

using emu::EfsType;
using emu::Mode;

TEST(EmulatorDiag, AnswersVersionWithGoodCrcAndNoLeadingFlag) {
    Device d(quick_options());
    ASSERT_TRUE(d.started);
    auto a = d.diag({0x00});
    ASSERT_TRUE(a.got());
    EXPECT_NE(a.raw[0], 0x7E);
    EXPECT_TRUE(a.crc_ok);
    EXPECT_EQ(a.packet[0], 0x00);
}

TEST(EmulatorDiag, BuildVersionTextStartsAtRawByte12) {
    auto o = quick_options();
    o.build_version = "TEST 4.5.6";
    Device d(o);
    auto a = d.diag({0x7C});
    ASSERT_GE(a.raw.size(), 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&a.raw[12])), "TEST 4.5.6");
    EXPECT_TRUE(a.crc_ok);
}

TEST(EmulatorDiag, RefusesUnknownCommandsWithErrorAnswer) {
    Device d(quick_options());
    for (const Bytes& request : {Bytes{0x55}, Bytes{0x06}, Bytes{0x00, 0x00}, efs(7), efs(1),
                                 Bytes{0x4B, 0x14, 0x00, 0x00}}) {
        auto a = d.diag(request);
        ASSERT_TRUE(a.crc_ok);
        EXPECT_EQ(a.packet[0], 0x13);
        EXPECT_EQ(Bytes(a.packet.begin() + 1, a.packet.end()), request);
    }
}

TEST(EmulatorDiag, IgnoresBadCrcAndEmptyFrames) {
    Device d(quick_options());
    Bytes bad = PtyClient::frame({0x7C}, false);
    bad[1] ^= 0x01;
    d.client->send_raw(bad);
    d.client->send_raw({0x7E, 0x7E});
    // The first answer to arrive is the version request's: the bad frame got none.
    auto a = d.dl({0x00});
    ASSERT_TRUE(a.crc_ok);
    EXPECT_EQ(a.packet[0], 0x00);
    EXPECT_EQ(d.emulator.bad_frames(), 1);
    EXPECT_EQ(d.emulator.request_count(Mode::Diag, 0x7C), 0);
}

TEST(EmulatorDiag, SwitchAnswersThenComesBackInDloadOnNewNode) {
    Device d(quick_options());
    const std::string first = d.emulator.device_node();
    auto a = d.diag({0x3A});
    ASSERT_TRUE(a.crc_ok);
    EXPECT_EQ(a.packet[0], 0x3A);
    ASSERT_TRUE(d.reconnect(Mode::Dload));
    EXPECT_NE(d.emulator.device_node(), first);
    auto ack = d.dl({0x06});
    EXPECT_EQ(ack.packet, Bytes{0x02});
    auto changes = d.changes();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].kind, emu::Change::Kind::Arrived);
    EXPECT_EQ(changes[1].kind, emu::Change::Kind::Left);
    EXPECT_EQ(changes[1].device_node, first);
    EXPECT_EQ(changes[2].kind, emu::Change::Kind::Arrived);
    EXPECT_EQ(changes[2].mode, Mode::Dload);
    EXPECT_EQ(changes[2].device_node, d.emulator.device_node());
}

TEST(EmulatorDiag, SinglePtyKeepsTheNodeAcrossModes) {
    auto o = quick_options();
    o.single_pty = true;
    Device d(o);
    const std::string node = d.emulator.device_node();
    d.diag({0x3A});
    ASSERT_TRUE(d.emulator.wait_for(Mode::Dload, 5s));
    EXPECT_EQ(d.emulator.device_node(), node);
    EXPECT_EQ(d.dl({0x06}).packet, Bytes{0x02});
}

class EmulatorEfs : public ::testing::Test {
  protected:
    EmulatorEfs() : d(quick_options()) {}
    Bytes create(const std::string& path) {
        auto a = d.diag(efs_create(path));
        EXPECT_EQ(at32(a.packet, 8), 0u) << path;
        return handle_of(a);
    }
    void write_file(const std::string& path, const Bytes& data) {
        Bytes h = create(path);
        for (std::size_t off = 0; off <= data.size(); off += 512) {
            Bytes chunk(data.begin() + static_cast<long>(off),
                        data.begin() + static_cast<long>(std::min(data.size(), off + 512)));
            auto a = d.diag(efs_write(h, static_cast<std::uint32_t>(off), chunk));
            ASSERT_TRUE(a.crc_ok);
            EXPECT_EQ(at32(a.packet, 16), 0u);
        }
        d.diag(efs_close(h));
    }
    // The error code of a request answered with a status at byte 4.
    std::uint32_t status(const Bytes& request) { return at32(d.diag(request).packet, 4); }

    Device d;
};

TEST_F(EmulatorEfs, StartsWithHomeAndHelloAnswers) {
    EXPECT_EQ(d.emulator.efs_type("/home"), EfsType::Directory);
    auto a = d.diag(efs(0, Bytes(40, 0)));
    ASSERT_TRUE(a.crc_ok);
    EXPECT_EQ(Bytes(a.packet.begin(), a.packet.begin() + 4), (Bytes{0x4B, 0x13, 0x00, 0x00}));
}

TEST_F(EmulatorEfs, WrittenFileReadsBackInChunks) {
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    data[3] = 0x7E;
    data[4] = 0x7D;
    write_file("/home/a.bin", data);
    EXPECT_EQ(d.emulator.efs_file("/home/a.bin"), data);
    EXPECT_EQ(at32(d.diag(efs_stat("/home/a.bin")).packet, 12), 1000u);

    auto open = d.diag(efs_open("/home/a.bin"));
    ASSERT_EQ(at32(open.packet, 8), 0u);
    Bytes h = handle_of(open);
    Bytes back;
    for (std::uint32_t off = 0;; off += 512) {
        auto a = d.diag(efs_read(h, off));
        ASSERT_EQ(Bytes(a.packet.begin(), a.packet.begin() + 3), (Bytes{0x4B, 0x13, 0x04}));
        const std::uint32_t count = at32(a.packet, 12);
        EXPECT_EQ(at32(a.packet, 16), 0u);
        back.insert(back.end(), a.packet.begin() + 20, a.packet.begin() + 20 + count);
        if (count < 512) break;
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(at32(d.diag(efs_close(h)).packet, 4), 0u);
    EXPECT_EQ(d.emulator.efs_open_handles(), 0);
}

TEST_F(EmulatorEfs, CreateTruncatesAnExistingFile) {
    write_file("/home/t", Bytes(700, 0x41));
    Bytes h = create("/home/t");
    d.diag(efs_close(h));
    EXPECT_EQ(d.emulator.efs_file("/home/t"), Bytes{});
}

TEST_F(EmulatorEfs, ErrorsArePosixCodes) {
    EXPECT_EQ(at32(d.diag(efs_open("/home/missing")).packet, 8), 2u);  // ENOENT
    EXPECT_EQ(at32(d.diag(efs_create("/nodir/x")).packet, 8), 2u);     // ENOENT
    EXPECT_EQ(at32(d.diag(efs_opendir("/nowhere")).packet, 8), 2u);    // ENOENT
    EXPECT_EQ(status(efs_mkdir("/home")), 17u);                        // EEXIST
    EXPECT_EQ(status(efs_unlink("/home")), 21u);                       // EISDIR
    EXPECT_EQ(status(efs_unlink("/home/missing")), 2u);                // ENOENT
    write_file("/home/f", {1, 2, 3});
    EXPECT_EQ(status(efs_mkdir("/home/f/sub")), 20u);                   // ENOTDIR
    EXPECT_EQ(status(efs_rmdir("/home/f")), 20u);                       // ENOTDIR
    EXPECT_EQ(at32(d.diag(efs_opendir("/home/f")).packet, 8), 20u);     // ENOTDIR
    EXPECT_EQ(at32(d.diag(efs_create("/home")).packet, 8), 21u);        // EISDIR
    EXPECT_EQ(status(efs_close({0x01, 0x02, 0x03, 0x04})), 9u);         // EBADF
    EXPECT_EQ(at32(d.diag(efs_read({9, 9, 9, 9}, 0)).packet, 16), 9u);  // EBADF
    EXPECT_EQ(status(efs_symlink("/x", "/home/f")), 17u);               // EEXIST
    EXPECT_EQ(at32(d.diag(efs_stat("/home/nothing")).packet, 4), 2u);   // ENOENT
}

TEST_F(EmulatorEfs, RmdirOfNonEmptyDirectoryFails) {
    EXPECT_EQ(status(efs_mkdir("/home/www")), 0u);
    write_file("/home/www/index.html", text("hi", false));
    EXPECT_EQ(status(efs_rmdir("/home/www")), 39u);  // ENOTEMPTY
    EXPECT_EQ(status(efs_unlink("/home/www/index.html")), 0u);
    EXPECT_EQ(status(efs_rmdir("/home/www")), 0u);
    EXPECT_EQ(d.emulator.efs_type("/home/www"), EfsType::None);
}

TEST_F(EmulatorEfs, SymlinkReadsBackItsTarget) {
    EXPECT_EQ(status(efs_symlink("/bin/busybox", "/home/sh")), 0u);
    EXPECT_EQ(d.emulator.efs_type("/home/sh"), EfsType::Link);
    EXPECT_EQ(d.emulator.efs_link_target("/home/sh"), "/bin/busybox");
    auto dir = d.diag(efs_opendir("/home"));
    auto entry = d.diag(efs_readdir(handle_of(dir), 1));
    EXPECT_EQ(at32(entry.packet, 16), 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&entry.packet[40]), "sh");
    EXPECT_EQ(status(efs_unlink("/home/sh")), 0u);
    EXPECT_EQ(d.emulator.efs_type("/home/sh"), EfsType::None);
}

TEST_F(EmulatorEfs, ListingIsStableAndEndsWithTheEndPattern) {
    write_file("/home/b", {1});
    EXPECT_EQ(status(efs_mkdir("/home/a")), 0u);
    EXPECT_EQ(status(efs_symlink("/b", "/home/c")), 0u);
    auto list = [&] {
        std::vector<std::pair<std::string, std::uint32_t>> names;
        auto dir = d.diag(efs_opendir("/home"));
        EXPECT_EQ(at32(dir.packet, 8), 0u);
        Bytes h = handle_of(dir);
        // A handle never looks like the end of a listing.
        EXPECT_FALSE(h[0] == 0 && h[1] == 0 && h[2] == 0);
        for (std::uint8_t seq = 1; seq < 10; ++seq) {
            auto a = d.diag(efs_readdir(h, seq));
            EXPECT_TRUE(a.crc_ok);
            const Bytes& p = a.packet;
            if (p[4] == 0 && p[5] == 0 && p[6] == 0 && p[7] != 0) break;
            names.emplace_back(reinterpret_cast<const char*>(&p[40]), at32(p, 16));
        }
        d.diag(efs(13, h));
        return names;
    };
    auto first = list();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0], std::make_pair(std::string("a"), 1u));
    EXPECT_EQ(first[1], std::make_pair(std::string("b"), 0u));
    EXPECT_EQ(first[2], std::make_pair(std::string("c"), 2u));
    EXPECT_EQ(list(), first);
}

TEST_F(EmulatorEfs, DeletingWhileListingVisitsEveryEntryOnce) {
    for (const char* n : {"/home/1", "/home/2", "/home/3"})
        write_file(n, {9});
    auto dir = d.diag(efs_opendir("/home"));
    Bytes h = handle_of(dir);
    int seen = 0;
    for (std::uint8_t seq = 1; seq < 10; ++seq) {
        auto a = d.diag(efs_readdir(h, seq));
        if (a.packet[4] == 0 && a.packet[5] == 0 && a.packet[6] == 0) break;
        ++seen;
        EXPECT_EQ(status(efs_unlink("/home/" +
                                    std::string(reinterpret_cast<const char*>(&a.packet[40])))),
                  0u);
    }
    EXPECT_EQ(seen, 3);
    EXPECT_TRUE(d.emulator.efs_list("/home").empty());
}

TEST_F(EmulatorEfs, RefusesMalformedRequests) {
    // A close one byte too long, a path without its NUL, a symlink with one path.
    for (const Bytes& r : {cat(efs(3, {1, 2, 3, 4}), {0}), efs(8, text("/home", false)),
                           efs(6, text("/only")), efs(0, Bytes(39, 0))}) {
        auto a = d.diag(r);
        EXPECT_EQ(a.packet[0], 0x13);
    }
}

TEST(EmulatorEfsCapacity, FullFileSystemAnswersEnospc) {
    auto o = quick_options();
    o.efs_capacity = 600;
    Device d(o);
    auto c = d.diag(efs_create("/home/big"));
    Bytes h = handle_of(c);
    EXPECT_EQ(at32(d.diag(efs_write(h, 0, Bytes(512, 1))).packet, 16), 0u);
    auto full = d.diag(efs_write(h, 512, Bytes(512, 1)));
    EXPECT_EQ(at32(full.packet, 16), 28u);
    EXPECT_EQ(d.emulator.efs_file("/home/big")->size(), 512u);
}

// The emulated modem keeps a running figure of what its files hold; space a removal frees is
// still there for the next file.
TEST(EmulatorEfsCapacity, SpaceFreedByARemovalIsWrittenAgain) {
    auto o = quick_options();
    o.efs_capacity = 600;
    Device d(o);
    Bytes first = handle_of(d.diag(efs_create("/home/first")));
    EXPECT_EQ(at32(d.diag(efs_write(first, 0, Bytes(512, 1))).packet, 16), 0u);
    d.diag(efs_close(first));
    EXPECT_EQ(at32(d.diag(efs_unlink("/home/first")).packet, 4), 0u);
    Bytes second = handle_of(d.diag(efs_create("/home/second")));
    EXPECT_EQ(at32(d.diag(efs_write(second, 0, Bytes(512, 2))).packet, 16), 0u);
    EXPECT_EQ(d.emulator.efs_file("/home/second")->size(), 512u);
}

TEST(EmulatorEfsHost, LoadsAHostFolderAndDumpsItBack) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / ("emu-efs-" + std::to_string(getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "in/home/www");
    std::ofstream(base / "in/home/www/index.html") << "<html>";
    std::ofstream(base / "in/router.conf") << "x=1\n";
    fs::create_symlink("/bin/busybox", base / "in/home/sh");
    auto o = quick_options();
    o.efs_root = (base / "in").string();
    Device d(o);
    ASSERT_TRUE(d.started) << d.emulator.error();
    EXPECT_EQ(d.emulator.efs_file("/router.conf"), text("x=1\n", false));
    EXPECT_EQ(d.emulator.efs_link_target("/home/sh"), "/bin/busybox");
    auto stat = d.diag(efs_stat("/home/www/index.html"));
    EXPECT_EQ(at32(stat.packet, 12), 6u);
    ASSERT_TRUE(d.emulator.dump_efs((base / "out").string()));
    EXPECT_EQ(fs::read_symlink(base / "out/home/sh"), "/bin/busybox");
    std::ifstream in(base / "out/home/www/index.html");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "<html>");
    EXPECT_FALSE(d.emulator.dump_efs((base / "out").string()));  // never over a folder in use
    fs::remove_all(base);
}

}  // namespace

namespace {

TEST(EmulatorStart, KeepsWhatTestsPutBeforeStart) {
    emu::Emulator e(quick_options());
    ASSERT_TRUE(e.efs_put_file("/home/www/a", {1, 2}));
    ASSERT_TRUE(e.start());
    EXPECT_EQ(e.efs_file("/home/www/a"), (Bytes{1, 2}));
    EXPECT_FALSE(e.device_node().empty());
}

TEST(EmulatorStart, FailsOnAMissingHostFolder) {
    auto o = quick_options();
    o.efs_root = "/nonexistent/efs-root";
    emu::Emulator e(o);
    EXPECT_FALSE(e.start());
    EXPECT_NE(e.error().find("/nonexistent/efs-root"), std::string::npos);
    EXPECT_EQ(e.device_node(), "");
}

TEST(EmulatorFraming, DropsOverlongFramesAsNoise) {
    Device d(quick_options());
    d.client->send_raw(Bytes(9000, 0x41));
    d.client->send_raw({0x7E});
    auto a = d.diag({0x00});
    EXPECT_EQ(a.packet[0], 0x00);
    EXPECT_EQ(d.emulator.bad_frames(), 1);
}

}  // namespace

namespace {

TEST(EmulatorProvider, AnOuterProviderCarriesTheDeviceAndTellsWhatIsUnread) {
    emu::PtyProvider lines(false);
    std::atomic<int> asked{0};
    auto o = quick_options();
    o.provider = &lines;
    o.unread = [&](const emu::Endpoint& ep) {
        ++asked;
        return lines.unread(ep);
    };
    Device d(o);
    ASSERT_TRUE(d.started);
    EXPECT_EQ(d.diag({0x3A}).packet, Bytes{0x3A});
    ASSERT_TRUE(d.reconnect(emu::Mode::Dload));
    EXPECT_EQ(d.dl({0x06}).packet, Bytes{0x02});
    EXPECT_GT(asked.load(), 0);
}

}  // namespace
