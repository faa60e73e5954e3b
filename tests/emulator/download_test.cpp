// The boot downloader and the flash programmer, and a whole firmware download across the modes.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/emulator/device.h"

namespace {

using emu::Mode;

const Bytes kUnlock = {0x0B, 0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xD4, 0x61, 0xF0};
const Bytes kAck = {0x02};

Bytes dload_write(std::uint32_t address, const Bytes& data) {
    Bytes r(7);
    r[0] = 0x0F;
    put_be32(&r[1], address);
    put_be16(&r[5], static_cast<std::uint16_t>(data.size()));
    return cat(r, data);
}
Bytes dload_go(std::uint32_t address) {
    Bytes r(5);
    r[0] = 0x05;
    put_be32(&r[1], address);
    return r;
}
Bytes stream_write(std::uint32_t offset, const Bytes& data) {
    return cat(cat({0x07}, le32(offset)), data);
}

// The fields of a hello answer as the tool reads them: raw, from the command byte.
struct HelloFields {
    bool ok = false;
    int flash_id_length = 0, sectors = 0, feature_bits = 0;
};
HelloFields read_hello(const Bytes& raw) {
    HelloFields f;
    const std::uint8_t* p = raw.data() + (raw[0] == 0x7E ? 1 : 0);
    const std::size_t n = raw.size() - (raw[0] == 0x7E ? 1 : 0);
    if (n < 48 || p[0] != 0x02) return f;
    f.flash_id_length = p[43];
    if (n < 48u + f.flash_id_length) return f;
    f.sectors = get_le16(p + 46 + f.flash_id_length);
    const std::size_t feature = 48u + f.flash_id_length + 4u * f.sectors;
    if (n <= feature) return f;
    f.feature_bits = p[feature];
    f.ok = true;
    return f;
}

TEST(EmulatorDload, AnswersNopParameterRequestAndUnlock) {
    Device d(quick_options(Mode::Dload));
    EXPECT_EQ(d.dl({0x06}).packet, kAck);
    auto params = d.dl({0x07});
    ASSERT_TRUE(params.crc_ok);
    EXPECT_NE(params.packet[0], 0x03);
    Bytes wrong = kUnlock;
    wrong[8] ^= 1;
    EXPECT_EQ(d.dl(wrong).packet[0], 0x03);
    EXPECT_EQ(d.dl(Bytes(kUnlock.begin(), kUnlock.end() - 1)).packet[0], 0x03);
    EXPECT_EQ(d.dl(kUnlock).packet, kAck);
}

TEST(EmulatorDload, NaksWritesBeforeUnlockAndWithWrongLength) {
    Device d(quick_options(Mode::Dload));
    EXPECT_EQ(d.dl(dload_write(0x1000, {1, 2, 3})).packet, (Bytes{0x03, 0x00, 0x0B}));
    EXPECT_EQ(d.dl(kUnlock).packet, kAck);
    Bytes bad = dload_write(0x1000, {1, 2, 3});
    bad[6] = 4;
    EXPECT_EQ(d.dl(bad).packet, (Bytes{0x03, 0x00, 0x03}));
    EXPECT_EQ(d.dl(dload_write(0xFFFFFFFE, {1, 2, 3})).packet, (Bytes{0x03, 0x00, 0x02}));
    EXPECT_EQ(d.emulator.ram(0x1000, 3), (Bytes{0, 0, 0}));
}

TEST(EmulatorDload, NaksBadCrcAndUnknownCommands) {
    Device d(quick_options(Mode::Dload));
    Bytes bad = PtyClient::frame({0x06}, true);
    bad[2] ^= 0x40;
    d.client->send_raw(bad);
    EXPECT_EQ(d.client->read_answer().packet, (Bytes{0x03, 0x00, 0x01}));
    EXPECT_EQ(d.dl({0x00}).packet, (Bytes{0x03, 0x00, 0x06}));
}

TEST(EmulatorDload, AnswersOpenWithAFlagWhenAsked) {
    auto o = quick_options(Mode::Dload);
    o.answer_flag = true;
    Device d(o);
    auto a = d.dl({0x06});
    EXPECT_EQ(a.raw.front(), 0x7E);
    EXPECT_EQ(a.packet, kAck);
}

TEST(EmulatorDload, GoIntoWrittenRamStartsTheProgrammer) {
    Device d(quick_options(Mode::Dload));
    d.dl(kUnlock);
    EXPECT_EQ(d.dl(dload_write(0x00800000, {0x7E, 0x7D, 0x11})).packet, kAck);
    EXPECT_EQ(d.emulator.ram(0x00800000, 3), (Bytes{0x7E, 0x7D, 0x11}));
    EXPECT_EQ(d.dl(dload_go(0x00800000)).packet, kAck);
    ASSERT_TRUE(d.reconnect(Mode::Stream));
    EXPECT_EQ(d.emulator.go_address(), 0x00800000u);
    EXPECT_TRUE(read_hello(d.dl(kHello).raw).ok);
}

TEST(EmulatorDload, GoIntoEmptyRamComesBackInDload) {
    Device d(quick_options(Mode::Dload));
    d.dl(kUnlock);
    EXPECT_EQ(d.dl(dload_go(0x00900000)).packet, kAck);
    ASSERT_TRUE(d.reconnect_after(2));
    EXPECT_EQ(d.emulator.mode(), Mode::Dload);
    // Back from the crash the boot downloader is locked again.
    EXPECT_EQ(d.dl(dload_write(0x1000, {1})).packet[0], 0x03);
}

TEST(EmulatorStream, IsSilentUntilHello) {
    Device d(quick_options(Mode::Stream));
    d.client->send({0x17, 0x01}, true);
    d.client->send({0x06}, true);
    d.client->send({0x00}, false);
    Bytes bad_magic = kHello;
    bad_magic[5] = 'x';
    d.client->send(bad_magic, true);
    // The first answer that comes is the hello's.
    auto a = d.dl(kHello);
    EXPECT_EQ(a.raw[0], 0x02);
    EXPECT_EQ(d.dl({0x17, 0x01}).raw[0], 0x18);
}

struct HelloCase {
    int flash_id_length, sectors;
};
class EmulatorHello : public ::testing::TestWithParam<HelloCase> {};

TEST_P(EmulatorHello, FieldsLandWhereTheToolReadsThem) {
    auto o = quick_options(Mode::Stream);
    o.hello.flash_id_length = GetParam().flash_id_length;
    o.hello.sector_count = GetParam().sectors;
    o.answer_flag = GetParam().sectors % 2 == 1;
    Device d(o);
    auto a = d.dl(kHello);
    ASSERT_TRUE(a.crc_ok);
    HelloFields f = read_hello(a.raw);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.flash_id_length, GetParam().flash_id_length);
    EXPECT_EQ(f.sectors, GetParam().sectors);
    EXPECT_EQ(f.feature_bits, 0x09);
    // Undecoded and decoded answers agree: nothing in it was escaped.
    EXPECT_EQ(Bytes(a.raw.begin() + (a.raw[0] == 0x7E), a.raw.begin() + (a.raw[0] == 0x7E) + 49),
              Bytes(a.packet.begin(), a.packet.begin() + 49));
}

INSTANTIATE_TEST_SUITE_P(FlashIds, EmulatorHello,
                         ::testing::Values(HelloCase{0, 0}, HelloCase{8, 4}, HelloCase{0, 3},
                                           HelloCase{100, 9}, HelloCase{200, 256}));

class EmulatorProgrammer : public ::testing::Test {
  protected:
    EmulatorProgrammer() : d(options()) { d.dl(kHello); }
    static emu::Options options() {
        auto o = quick_options(Mode::Stream);
        o.partition_table = {1, 2, 3, 4};
        return o;
    }
    std::uint8_t command(const Bytes& r) { return d.dl(r).raw[0]; }
    Device d;
};

TEST_F(EmulatorProgrammer, PartitionTableStatusTellsEqualFromDifferent) {
    EXPECT_EQ(d.dl({0x19, 0x00, 1, 2, 3, 4}).raw, (PtyClient::frame({0x1A, 0x00}, false)));
    EXPECT_EQ(d.dl({0x19, 0x00, 1, 2, 3, 5}).packet, (Bytes{0x1A, 0x01}));
    EXPECT_EQ(d.dl({0x19, 0x00}).packet, (Bytes{0x1A, 0x02}));
    // A table it does not recognize does not replace the one it took before.
    EXPECT_EQ(d.emulator.partition_received(), (Bytes{1, 2, 3, 5}));
}

TEST(EmulatorPartitionStatus, ForcedStatusAnswersEveryTableAndRefusalsStoreNothing) {
    for (int status : {0, 1, 2, 3}) {
        auto o = quick_options(Mode::Stream);
        o.partition_table = {1, 2, 3, 4};
        o.partition_status = status;
        Device d(o);
        d.dl(kHello);
        EXPECT_EQ(d.dl({0x19, 0x00, 1, 2, 3, 4}).packet,
                  (Bytes{0x1A, static_cast<std::uint8_t>(status)}));
        if (status < 2) {
            EXPECT_EQ(d.emulator.partition_received(), (Bytes{1, 2, 3, 4})) << status;
        } else {
            EXPECT_FALSE(d.emulator.partition_received()) << status;
        }
    }
}

TEST_F(EmulatorProgrammer, OpenMultiImageChecksThePayloadRules) {
    EXPECT_EQ(d.dl({0x1B, 0x02}).packet, (Bytes{0x1C, 0x00}));
    EXPECT_EQ(d.dl({0x1B, 0x03, 0x55}).packet, (Bytes{0x1C, 0x02}));
    EXPECT_EQ(d.dl({0x1B, 0x04}).packet, (Bytes{0x1C, 0x03}));
    EXPECT_EQ(d.dl({0x1B, 0x05}).packet, (Bytes{0x1C, 0x03}));
    EXPECT_EQ(d.dl(cat({0x1B, 0x05}, Bytes(513, 1))).packet, (Bytes{0x1C, 0x01}));
    EXPECT_EQ(d.dl({0x1B, 0x04, 0xAA, 0xBB}).packet, (Bytes{0x1C, 0x00}));
    EXPECT_EQ(d.emulator.flash_image(4)->header, (Bytes{0xAA, 0xBB}));
}

TEST_F(EmulatorProgrammer, StreamWriteNeedsAnOpenImage) {
    EXPECT_EQ(command(stream_write(0, {1, 2})), 0x0D);
    EXPECT_EQ(command({0x1B, 0x03}), 0x1C);
    auto a = d.dl(stream_write(0x200, {7, 8}));
    EXPECT_EQ(a.packet, cat({0x08}, le32(0x200)));
    EXPECT_EQ(command({0x15}), 0x16);
    EXPECT_EQ(command(stream_write(0x202, {9})), 0x0D);
    EXPECT_EQ(command({0x15}), 0x0E);  // nothing left to close
    auto image = d.emulator.flash_image(3);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->closed);
    EXPECT_EQ(image->data.size(), 0x202u);
    EXPECT_EQ(image->data[0x200], 7);
}

TEST_F(EmulatorProgrammer, ResetComesBackInDiagWithTheNewVersion) {
    command({0x1B, 0x02});
    command(stream_write(0, {1}));
    command({0x15});
    EXPECT_EQ(command({0x0B}), 0x0C);
    ASSERT_TRUE(d.emulator.wait_finished(5s));
    ASSERT_TRUE(d.reconnect(Mode::Diag));
    auto v = d.diag({0x7C});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&v.raw[12])), "FW 1.0.1 B002");
}

TEST(EmulatorReset, WithoutReturnTheDeviceStaysAway) {
    auto o = quick_options(Mode::Stream);
    o.return_after_reset = false;
    Device d(o);
    d.dl(kHello);
    EXPECT_EQ(d.dl({0x0B}).raw[0], 0x0C);
    ASSERT_TRUE(d.emulator.wait_finished(5s));
    EXPECT_FALSE(d.emulator.present());
    EXPECT_EQ(d.emulator.device_node(), "");
}

// --- a whole firmware download ---

// A small programmer: two data records after an extended address, a start address, the end.
const char kHex[] =
    ":0200000400807A\n"
    ":10000000000102030405060708090A0B0C0D0E0F78\n"
    ":087E7D00101112137E7D7E7D00\n"
    ":0400000500800000F7\n"
    ":00000001FF\n";

struct HexImage {
    std::vector<std::pair<std::uint32_t, Bytes>> records;
    std::uint32_t go = 0;
};
// Reads the records as the tool does: the running address comes from type 04 records and grows
// by each data record.
HexImage parse_hex(const std::string& hex) {
    HexImage out;
    std::istringstream in(hex);
    std::string line;
    std::uint32_t address = 0;
    auto byte = [&](std::size_t at) {
        return static_cast<std::uint8_t>(std::stoi(line.substr(at, 2), nullptr, 16));
    };
    while (std::getline(in, line) && !line.empty() && line[0] == ':') {
        const int count = byte(1), type = byte(7);
        Bytes data;
        for (int i = 0; i < count; ++i)
            data.push_back(byte(9 + 2 * i));
        if (type == 0) {
            out.records.emplace_back(address, data);
            address += count;
        } else if (type == 4) {
            address = (data[0] << 24) | (data[1] << 16);
        } else if (type == 5) {
            out.go = get_be32(data.data());
        }
    }
    return out;
}

Bytes file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class EmulatorFirmwareDownload : public ::testing::TestWithParam<bool> {};

TEST_P(EmulatorFirmwareDownload, EndsWithFlashAndFileSystemAsSent) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() /
                          ("emu-run-" + std::to_string(getpid()) + (GetParam() ? "f" : "n"));
    fs::remove_all(base);
    const Bytes table = {0xAA, 0x7E, 0x7D, 0x00, 0x01};
    Bytes image2(1000), image5(1024), header5(300);
    for (std::size_t i = 0; i < image2.size(); ++i)
        image2[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 0; i < image5.size(); ++i)
        image5[i] = static_cast<std::uint8_t>(i * 31);
    for (std::size_t i = 0; i < header5.size(); ++i)
        header5[i] = static_cast<std::uint8_t>(~i);

    auto o = quick_options(Mode::Diag);
    o.answer_flag = GetParam();
    o.partition_table = {0xAA, 0x00};
    o.transcript = (base.string() + "-transcript.txt");
    Device d(o);
    ASSERT_TRUE(d.started) << d.emulator.error();

    // Normal firmware: a file, the version, the switch.
    auto c = d.diag(efs_create("/home/x.txt"));
    d.diag(efs_write(handle_of(c), 0, text("abc", false)));
    d.diag(efs_close(handle_of(c)));
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x00);
    EXPECT_EQ(d.diag({0x3A}).packet, Bytes{0x3A});

    // Boot downloader: request, unlock, the programmer record by record, GO.
    ASSERT_TRUE(d.reconnect(Mode::Dload));
    EXPECT_EQ(d.dl({0x06}).packet, kAck);
    EXPECT_NE(d.dl({0x07}).packet[0], 0x03);
    EXPECT_EQ(d.dl(kUnlock).packet, kAck);
    const HexImage hex = parse_hex(kHex);
    Bytes programmer;
    for (const auto& [address, data] : hex.records) {
        EXPECT_EQ(d.dl(dload_write(address, data)).packet, kAck);
        programmer.insert(programmer.end(), data.begin(), data.end());
    }
    EXPECT_EQ(d.dl(dload_go(hex.go)).packet, kAck);

    // Flash programmer: hello, security, table, two images, reset.
    ASSERT_TRUE(d.reconnect(Mode::Stream));
    EXPECT_TRUE(read_hello(d.dl(kHello).raw).ok);
    EXPECT_EQ(d.dl({0x17, 0x01}).packet, Bytes{0x18});
    EXPECT_EQ(d.dl(cat({0x19, 0x00}, table)).packet, (Bytes{0x1A, 0x01}));
    auto stream = [&](const Bytes& image) {
        for (std::size_t off = 0;; off += 512) {
            const std::size_t n = std::min<std::size_t>(512, image.size() - off);
            Bytes block(image.begin() + static_cast<long>(off),
                        image.begin() + static_cast<long>(off + n));
            EXPECT_EQ(d.dl(stream_write(static_cast<std::uint32_t>(off), block)).packet[0], 0x08);
            if (n < 512) break;
        }
        EXPECT_EQ(d.dl({0x15}).packet, Bytes{0x16});
    };
    EXPECT_EQ(d.dl({0x1B, 0x02}).packet, (Bytes{0x1C, 0x00}));
    stream(image2);
    EXPECT_EQ(d.dl(cat({0x1B, 0x05}, header5)).packet, (Bytes{0x1C, 0x00}));
    stream(image5);
    EXPECT_EQ(d.dl({0x0B}).packet, Bytes{0x0C});

    // Back in normal mode with the new firmware.
    ASSERT_TRUE(d.emulator.wait_finished(5s));
    ASSERT_TRUE(d.reconnect(Mode::Diag));
    auto version = d.diag({0x7C});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&version.raw[12])), "FW 1.0.1 B002");

    ASSERT_TRUE(d.emulator.dump_flash((base / "flash").string()));
    ASSERT_TRUE(d.emulator.dump_efs((base / "efs").string()));
    EXPECT_EQ(file_bytes(base / "flash/partition.bin"), table);
    EXPECT_EQ(file_bytes(base / "flash/image-2.bin"), image2);
    EXPECT_EQ(file_bytes(base / "flash/image-5.bin"), image5);
    EXPECT_EQ(file_bytes(base / "flash/header-5.bin"), header5);
    EXPECT_FALSE(fs::exists(base / "flash/header-2.bin"));
    EXPECT_EQ(file_bytes(base / "flash/programmer-ram.bin"), programmer);
    const Bytes info = file_bytes(base / "flash/programmer.txt");
    EXPECT_EQ(std::string(info.begin(), info.end()), "start 0x00800000\ngo 0x00800000\n");
    EXPECT_EQ(file_bytes(base / "efs/home/x.txt"), text("abc", false));

    // The transcript holds every request of the run.
    std::ifstream log(o.transcript);
    std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    for (const char* line :
         {"diag   > switch to download [1] 3A", "dload  > unlock [9]",
          "stream > open multi-image [302] 1B 05", "stream < reset acknowledged"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
    fs::remove_all(base);
    fs::remove(o.transcript);
}

INSTANTIATE_TEST_SUITE_P(AnswerFlag, EmulatorFirmwareDownload, ::testing::Bool());

}  // namespace
