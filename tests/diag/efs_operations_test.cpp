// Single EFS2 operations on a scripted port: the requests they build, how they judge each kind of
// answer, their retries and time-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "copy/copy_job.h"
#include "diag/efs.h"
#include "tests/support/scripted_test.h"

namespace {

// The four header bytes of an answer to request, the rest of the packet following.
Bytes efs_answer(const Bytes& request, const Bytes& body) {
    Bytes packet(4 + body.size());
    std::copy(request.begin(), request.begin() + 4, packet.begin());
    std::copy(body.begin(), body.end(), packet.begin() + 4);
    return packet;
}
// A status answer with the error code at 4, another at 8 and room for every field: 20 bytes.
Reply status(const Bytes& request, std::uint8_t error) {
    return answer(efs_answer(request, Bytes(16, error)));
}
Reply accepted(const Bytes& request) {
    return status(request, 0);
}
// The same answer under the code of an operation never asked for.
Reply other_code(const Bytes& request) {
    Bytes packet = efs_answer(request, Bytes(16, 0));
    packet[2] = 0x7F;
    return answer(packet);
}

Bytes path_request(std::initializer_list<std::uint8_t> head, const std::string& path) {
    Bytes bytes(head);
    bytes.insert(bytes.end(), path.begin(), path.end());
    bytes.push_back(0);
    return bytes;
}

class EfsOperations : public ScriptedTest {};

TEST_F(EfsOperations, SymlinkRequestCarriesTargetThenLinkPath) {
    device().answer_with(accepted);
    ASSERT_EQ(create_efs_symlink(line, "/bin/busybox", "/home/sh"), 1);
    Bytes expected = path_request({0x4B, 0x13, 0x06, 0x00}, "/bin/busybox");
    expected.insert(expected.end(), {'/', 'h', 'o', 'm', 'e', '/', 's', 'h', 0});
    EXPECT_EQ(device().requests(), std::vector<Bytes>{expected});
    EXPECT_EQ(log.text(), "");
}

TEST_F(EfsOperations, PathRequestsCarryTheirCodeBodyAndPath) {
    device().answer_with(accepted);
    EfsHandle handle = {};
    ASSERT_EQ(create_efs_dir(line, "/home/www"), 1);
    ASSERT_EQ(unlink_efs_dir(line, "/home/www"), 1);
    ASSERT_EQ(unlink_efs_file(line, "/home/f"), 1);
    ASSERT_EQ(open_efs_dir(line, "/home", handle), 1);
    ASSERT_EQ(open_efs_file(line, "/home/r", handle), 1);
    ASSERT_EQ(create_efs_file(line, "/home/w", handle), 1);
    std::uint32_t size = 0;
    ASSERT_EQ(query_efs_size(line, "/home/f", &size), 1);
    EXPECT_EQ(
        device().requests(),
        (std::vector<Bytes>{
            path_request({0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, "/home/www"),
            path_request({0x4B, 0x13, 0x0A, 0x00}, "/home/www"),
            path_request({0x4B, 0x13, 0x08, 0x00}, "/home/f"),
            path_request({0x4B, 0x13, 0x0B, 0x00}, "/home"),
            // Read-only, r--r--r--; then write-only, create and truncate, rw-rw-rw-.
            path_request({0x4B, 0x13, 0x02, 0x00, 0, 0, 0, 0, 0x24, 0x01, 0, 0}, "/home/r"),
            path_request({0x4B, 0x13, 0x02, 0x00, 0x41, 0x02, 0, 0, 0xB6, 0x01, 0, 0}, "/home/w"),
            path_request({0x4B, 0x13, 0x0F, 0x00}, "/home/f"),
        }));
}

TEST_F(EfsOperations, HandlesAndSizesAreTakenFromTheirAnswers) {
    device().script({answer({0x4B, 0x13, 0x0B, 0x00, 1, 2, 3, 4, 0, 0, 0, 0}),
                     answer({0x4B, 0x13, 0x02, 0x00, 5, 6, 7, 8, 0, 0, 0, 0}),
                     answer({0x4B, 0x13, 0x0F, 0x00, 0, 0, 0, 0, 9, 9, 9, 9, 0x70, 0x11, 1, 0}),
                     answer({0x4B, 0x13, 0x0F, 0x00, 0, 0, 0, 0, 9, 9, 9, 9, 0, 0, 0, 0}),
                     answer({0x4B, 0x13, 0x03, 0x00, 0, 0, 0, 0})});
    EfsHandle folder = {};
    EfsHandle file = {};
    ASSERT_EQ(open_efs_dir(line, "/home", folder), 1);
    ASSERT_EQ(open_efs_file(line, "/home/f", file), 1);
    EXPECT_EQ(get_efs_size(line, "/home/f"), 70000u);
    std::uint32_t size = 99;
    EXPECT_EQ(query_efs_size(line, "/home/empty", &size), 1);
    EXPECT_EQ(size, 0u) << "an empty file is no failure";
    EXPECT_EQ(close_efs_file(line, file), 1);

    EXPECT_EQ(Bytes(folder, folder + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(file, file + 4), (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(device().requests().back(), (Bytes{0x4B, 0x13, 0x03, 0x00, 5, 6, 7, 8}));
    EXPECT_EQ(log.text(), "");
}

TEST_F(EfsOperations, FailedOpenLeavesTheHandleAlone) {
    device().answer_with([](const Bytes& request) { return status(request, 2); });
    EfsHandle handle;
    std::memset(handle, 0xAA, sizeof(handle));
    EXPECT_EQ(open_efs_dir(line, "/home/missing", handle), 0);
    EXPECT_EQ(open_efs_file(line, "/home/missing", handle), 0);
    EXPECT_EQ(handle[0], 0xAA);
    std::uint32_t size = 5;
    EXPECT_EQ(query_efs_size(line, "/home/none", &size), 0)
        << "a failure is told apart from size 0";
    EXPECT_EQ(size, 5u);
}

TEST_F(EfsOperations, SizeOfEmptyPathSendsNothing) {
    EXPECT_EQ(get_efs_size(line, ""), 0u);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(EfsOperations, RetryAfterSilenceResendsTheSamePacketQuietly) {
    device().script({silence(), silence()}, answer({0x4B, 0x13, 0x09, 0x00, 0, 0, 0, 0}));
    ASSERT_EQ(create_efs_dir(line, "/home/www"), 1);
    const Bytes sent = path_request({0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, "/home/www");
    EXPECT_EQ(device().requests(), std::vector<Bytes>(3, sent));
    EXPECT_EQ(waited_ms(), 2 * 500);
    EXPECT_EQ(log.text(), unframed(256, 2))
        << "a success after failed attempts logs nothing of its own";
}

TEST_F(EfsOperations, PathsThatDoNotFitAreRefusedBeforeSending) {
    device().answer_with(accepted);
    // The request buffer holds 256 bytes: header, body and the path's NUL.
    const std::string mkdir_limit = "/" + std::string(248, 'd');    // 249 bytes: fits
    const std::string too_long_dir = "/" + std::string(249, 'd');   // 250 bytes
    const std::string too_long_file = "/" + std::string(243, 'f');  // 244 bytes
    const std::string target = "/" + std::string(124, 't');         // 125 + 126 = 251 bytes
    const std::string link = "/" + std::string(125, 'l');
    EfsHandle handle = {};

    EXPECT_EQ(create_efs_dir(line, too_long_dir.c_str()), 0);
    EXPECT_EQ(create_efs_file(line, too_long_file.c_str(), handle), 0);
    EXPECT_EQ(open_efs_file(line, too_long_file.c_str(), handle), 0);
    EXPECT_EQ(create_efs_symlink(line, target.c_str(), link.c_str()), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(create_efs_dir(line, mkdir_limit.c_str()), 1);
    EXPECT_EQ(device().requests(),
              std::vector<Bytes>{path_request({0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, mkdir_limit)});
    EXPECT_EQ(log.text(), "create_efs_dir: path too long error! " + too_long_dir +
                              "\ncreate_efs_file: path too long error! " + too_long_file +
                              "\nopen_efs_file: path too long error! " + too_long_file +
                              "\ncreate_efs_symlink: path too long error! " + link + "\n");
}

// --- every operation, every kind of failed answer ----------------------------------------------

struct Operation {
    const char* name;
    std::function<int(DeviceLine&)> run;
    std::string header_line;  // logged for an answer under another code
    std::string data_line;    // logged for a device error code
};
void PrintTo(const Operation& x, std::ostream* os) {
    *os << x.name;
}

class EveryOperation : public ScriptedTest, public ::testing::WithParamInterface<Operation> {
  protected:
    // Runs the operation against a device giving reply to every request; the log line it leaves.
    std::string failure(std::function<Reply(const Bytes&)> reply, int requests_expected) {
        log.restart();
        const int before = requests();
        device().answer_with(std::move(reply));
        EXPECT_EQ(GetParam().run(line), 0);
        EXPECT_EQ(requests() - before, requests_expected);
        return log.text();
    }
};

TEST_P(EveryOperation, FailsAfterTenAttemptsLoggingTheLastKindOnce) {
    const std::string name = GetParam().name;
    EXPECT_EQ(failure(other_code, 10), GetParam().header_line);
    EXPECT_EQ(failure([](const Bytes& r) { return status(r, 1); }, 10), GetParam().data_line);
    EXPECT_EQ(failure(
                  [](const Bytes&) {
                      return raw(frame_bad_crc({0x4B, 0x13}));
                  },
                  10),
              name + ": check crc error! \n");
    EXPECT_EQ(waited_ms(), 0);
    const int buffer = name == "get_efs_size" ? 20000 : 256;
    EXPECT_EQ(failure([](const Bytes&) { return silence(); }, 10),
              unframed(buffer, 10) + name + ": check crc error! \n");
    EXPECT_EQ(waited_ms(), 10 * 500);
    // The exchange makes ten attempts of its own inside each of the operation's ten.
    const std::string raised = times(10, "apply diag cmd: Serial port wr/rd error\n");
    EXPECT_EQ(failure([](const Bytes&) { return raise_error(EIO); }, 100),
              raised + name + ": send cmd error! \n");
    device().Close();
    EXPECT_EQ(failure([](const Bytes& r) { return accepted(r); }, 0),
              name + ": send cmd error! \n");
}

EfsHandle kHandle = {1, 2, 3, 4};

int query_size(DeviceLine& line) {
    std::uint32_t size = 0;
    return query_efs_size(line, "/home/f", &size);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, EveryOperation,
    ::testing::Values(
        Operation{"open_efs_file",
                  [](DeviceLine& line) { return open_efs_file(line, "/home/f", kHandle); },
                  "open_efs_file: receive bad cmd error! \n",
                  "open_efs_file: recv bad data error! \n"},
        Operation{"create_efs_file",
                  [](DeviceLine& line) { return create_efs_file(line, "/home/f", kHandle); },
                  "create_efs_file: recv bad cmd error! \n",
                  "create_efs_file: recv bad data error! \n"},
        Operation{"close_efs_file", [](DeviceLine& line) { return close_efs_file(line, kHandle); },
                  "close_efs_file: recv bad cmd error! \n",
                  "close_efs_file: recv bad data error! \n"},
        Operation{"close_efs_dir", [](DeviceLine& line) { return close_efs_dir(line, kHandle); },
                  "close_efs_dir: recv bad cmd error! \n",
                  "close_efs_dir: recv bad data error! \n"},
        Operation{"create_efs_symlink",
                  [](DeviceLine& line) { return create_efs_symlink(line, "/bin/sh", "/home/sh"); },
                  "create_efs_symlink: recv bad data error! \n",
                  "create_efs_symlink: recv bad data error! \n"},
        // A device error code is reported as a bad command here, unlike the other operations.
        Operation{
            "unlink_efs_file", [](DeviceLine& line) { return unlink_efs_file(line, "/home/f"); },
            "unlink_efs_file: recv bad cmd error! \n", "unlink_efs_file: recv bad cmd error! \n"},
        Operation{
            "create_efs_dir", [](DeviceLine& line) { return create_efs_dir(line, "/home/d"); },
            "create_efs_dir: recv bad data error! \n", "create_efs_dir: recv bad data error! \n"},
        Operation{
            "unlink_efs_dir", [](DeviceLine& line) { return unlink_efs_dir(line, "/home/d"); },
            "unlink_efs_dir: recv bad data error! \n", "unlink_efs_dir: recv bad data error! \n"},
        Operation{"open_efs_dir",
                  [](DeviceLine& line) { return open_efs_dir(line, "/home", kHandle); },
                  "open_efs_dir: recv bad data error! \n", "open_efs_dir: recv bad data error! \n"},
        Operation{"get_efs_size", query_size, "get_efs_size: recv bad cmd error! \n",
                  "get_efs_size: recv bad data error! \n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EfsOperations, AnswerTooShortForItsFieldsIsNoSuccess) {
    // Only the header: no handle and no error code.
    device().answer_with([](const Bytes& request) { return answer(efs_answer(request, {})); });
    EfsHandle handle = {};
    EXPECT_EQ(create_efs_file(line, "/home/w", handle), 0);
    EXPECT_EQ(get_efs_size(line, "/home/w"), 0u);
    EXPECT_EQ(close_efs_dir(line, kHandle), 0);
    EXPECT_EQ(log.text(),
              "create_efs_file: recv bad data error! \nget_efs_size: recv bad data error! \n"
              "close_efs_dir: recv bad data error! \n");
}

TEST_F(EfsOperations, HelloLooksOnlyAtTheExchange) {
    // The body is 40 zero bytes; silence is as good as an answer.
    EXPECT_EQ(send_efs_hello(line), 1);
    Bytes hello = {0x4B, 0x13, 0x00, 0x00};
    hello.resize(44, 0);
    EXPECT_EQ(device().requests(), std::vector<Bytes>{hello});
    device().Close();
    EXPECT_EQ(send_efs_hello(line), 0);
    EXPECT_EQ(log.text(), "send_efs_hello: send cmd error! \n");
}

// --- closes: never done while the device may still hold the handle, nor failed when only the
// answer went missing ---------------------------------------------------------------------------

TEST_F(EfsOperations, CloseWhoseAnswerIsLostCountsWhenTheRepeatIsRefused) {
    device().script({silence()}, status({0x4B, 0x13, 0x03, 0x00}, 2));
    EXPECT_EQ(close_efs_file(line, kHandle), 1);
    EXPECT_EQ(requests(), 2);
    EXPECT_EQ(log.text(), unframed(256) + "close_efs_file: closed by an earlier attempt\n");
}

TEST_F(EfsOperations, CloseWhoseRequestIsLostIsSentAgain) {
    device().script({silence()}, accepted({0x4B, 0x13, 0x0D, 0x00}));
    EXPECT_EQ(close_efs_dir(line, kHandle), 1);
    EXPECT_EQ(device().requests(),
              std::vector<Bytes>(2, Bytes{0x4B, 0x13, 0x0D, 0x00, 1, 2, 3, 4}));
    EXPECT_EQ(log.text(), unframed(256));
}

TEST_F(EfsOperations, CloseRefusedAtFirstIsNotTakenForAnEarlierClose) {
    device().script({status({0x4B, 0x13, 0x03, 0x00}, 2), silence()},
                    status({0x4B, 0x13, 0x03, 0x00}, 2));
    EXPECT_EQ(close_efs_file(line, kHandle), 1) << "refused after an unanswered attempt";
    EXPECT_EQ(requests(), 3);
}

// --- opens repeated: every handle the device holds but one is closed again ----------------------

Bytes open_answer(std::uint8_t code, std::uint8_t handle) {
    return {0x4B, 0x13, code, 0x00, handle, 0, 0, 0, 0, 0, 0, 0};
}

TEST_F(EfsOperations, OpenAnsweredLateHasTheRepeatedOpensHandleClosed) {
    // The first answer comes only after the open was sent again, and the second right behind it.
    device().script({silence(), Reply{{frame(open_answer(2, 7)), frame(open_answer(2, 8))}}},
                    accepted({0x4B, 0x13, 0x03, 0x00}));
    EfsHandle handle = {};
    ASSERT_EQ(create_efs_file(line, "/home/w", handle), 1);
    EXPECT_EQ(Bytes(handle, handle + 4), (Bytes{7, 0, 0, 0}));
    EXPECT_EQ(count_code(0x02, 2), 2);
    EXPECT_EQ(device().requests().back(), (Bytes{0x4B, 0x13, 0x03, 0x00, 8, 0, 0, 0}));
    EXPECT_NE(log.text().find("open_efs_file: a repeated request left handle 0x00000008 open, "
                              "closing it\n"),
              std::string::npos)
        << log.text();
}

TEST_F(EfsOperations, ListingOpenWithACorruptedAnswerHasItsFirstHandleClosed) {
    device().script({Reply{{frame_bad_crc(open_answer(0x0B, 3))}}, answer(open_answer(0x0B, 4))},
                    accepted({0x4B, 0x13, 0x0D, 0x00}));
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir(line, "/home", handle), 1);
    EXPECT_EQ(handle[0], 4);
    EXPECT_EQ(device().requests().back(), (Bytes{0x4B, 0x13, 0x0D, 0x00, 3, 0, 0, 0}));
    // One read for answers still to come, which finds the line quiet.
    EXPECT_EQ(waited_ms(), 500);
}

TEST_F(EfsOperations, OpenAnsweredAtOnceLooksForNothingMore) {
    device().script({answer(open_answer(2, 9))});
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_file(line, "/home/r", handle), 1);
    EXPECT_EQ(requests(), 1);
    EXPECT_EQ(waited_ms(), 0);
    EXPECT_EQ(log.text(), "");
}

// --- listings ----------------------------------------------------------------------------------

// A readdir answer: entry type at 16, the name from 40.
Reply entry(std::uint8_t type, const std::string& name) {
    Bytes packet = {0x4B, 0x13, 0x0C, 0x00, 1, 2, 3, 4, 7};
    packet.resize(40, 0);
    packet[16] = type;
    packet.insert(packet.end(), name.begin(), name.end());
    packet.push_back(0);
    return answer(packet);
}
// The end of a listing: bytes 4 to 6 zero, byte 7 not.
const Reply kEndOfListing = answer({0x4B, 0x13, 0x0C, 0x00, 0, 0, 0, 1});

TEST_F(EfsOperations, ListingReadsEveryEntryThenEndsWithTheEndPattern) {
    device().script({entry(0, "a"), entry(1, "b"), entry(2, "c"), kEndOfListing});
    std::vector<std::pair<std::string, int>> seen;
    char name[256];
    int type = -1;
    for (int sequence = 1; sequence <= 3; ++sequence) {
        ASSERT_EQ(read_efs_dir(line, kHandle, sequence, name, &type, sizeof(name)), 1);
        seen.emplace_back(name, type);
    }
    EXPECT_EQ(read_efs_dir(line, kHandle, 4, name, &type, sizeof(name)), -1);

    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"a", 0}, {"b", 1}, {"c", 2}}));
    EXPECT_EQ(requests(), 4) << "the end of a listing is not retried";
    EXPECT_EQ(device().requests()[3], (Bytes{0x4B, 0x13, 0x0C, 0x00, 1, 2, 3, 4, 4, 0, 0, 0}));
    EXPECT_EQ(log.text(), "read_efs_dir: no file error! \n");
}

struct ListingCase {
    const char* name;
    Reply reply;
    int requests;
    std::string line;
};
void PrintTo(const ListingCase& x, std::ostream* os) {
    *os << x.name;
}

class ListingFailure : public ScriptedTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingFailure, FailsTheListing) {
    device().script({}, GetParam().reply);
    char name[8];
    std::memset(name, 'x', sizeof(name));
    int type = 0;
    EXPECT_EQ(read_efs_dir(line, kHandle, 1, name, &type, sizeof(name)), 0);
    EXPECT_EQ(requests(), GetParam().requests);
    EXPECT_EQ(std::memcmp(name, "\0\0\0\0", 4), 0) << "no stale name is left";
    EXPECT_EQ(log.text(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ListingFailure,
    ::testing::Values(
        // Not the end of the listing: what was not listed yet would be taken for gone.
        ListingCase{"AnswerOfAnotherOperation", answer({0x4B, 0x13, 0x0B, 0x00, 0, 0, 0, 0}), 1,
                    "read_efs_dir: recv bad cmd error! \n"},
        ListingCase{"EntryWithoutAName", entry(0, ""), 10, "read_efs_dir: null data error! \n"},
        // A name the caller has no room for is refused rather than cut.
        ListingCase{"NameWithoutRoom", entry(0, "longname"), 10,
                    "read_efs_dir: name too long error! \n"},
        ListingCase{"Silence", silence(), 10,
                    unframed(256, 10) + "read_efs_dir: check crc error! \n"},
        ListingCase{"BadCrc", raw(frame_bad_crc({0x4B, 0x13, 0x0C, 0x00})), 10,
                    "read_efs_dir: check crc error! \n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EfsOperations, ListingOnAClosedLineFailsAsASendError) {
    device().Close();
    char name[16];
    int type = 0;
    EXPECT_EQ(read_efs_dir(line, kHandle, 1, name, &type, sizeof(name)), 0);
    EXPECT_EQ(log.text(), "read_efs_dir: send cmd error! \n");
}

// A device whose "/home" lists names that would lead a removal elsewhere, then one plain file.
// It answers opendir, readdir, unlink, rmdir and closedir, and notes the path of every opendir,
// unlink and rmdir it is asked for; any opendir but that of "/home" is refused.
class HostileListing : public ScriptedTest {
  protected:
    HostileListing() {
        device().answer_with([this](const Bytes& request) { return answer(request); });
    }
    std::vector<std::string> paths_;

  private:
    static constexpr std::uint8_t kOpendir = 11, kReaddir = 12, kUnlink = 8, kRmdir = 10;
    struct Entry {
        const char* name;
        std::uint8_t type;  // 0 file, 1 folder
    };
    static constexpr Entry kEntries[] = {
        {"..", 1}, {".", 1}, {"../etc", 0}, {"sub/..", 1}, {"old", 0}};

    Reply answer(const Bytes& request) {
        Bytes out(request.begin(), request.begin() + 4);
        const std::uint8_t code = request[2];
        // The path of an opendir, unlink or rmdir, up to its NUL; other requests carry none.
        const std::string path(request.begin() + 4,
                               std::find(request.begin() + 4, request.end(), 0));
        if (code == kOpendir || code == kUnlink || code == kRmdir)
            paths_.push_back(std::to_string(code) + " " + path);
        if (code == kOpendir) {
            const bool home = path == "/home";
            out.insert(out.end(), {home ? std::uint8_t{1} : std::uint8_t{0}, 2, 3, 4});
            out.insert(out.end(), {home ? std::uint8_t{0} : std::uint8_t{2}, 0, 0, 0});
        } else if (code == kReaddir) {
            const std::size_t sequence = request[8];
            if (sequence > std::size(kEntries)) {
                out.insert(out.end(), {0, 0, 0, 1});  // the end of the listing
            } else {
                out.resize(40, 0);
                out[4] = 1;  // the handle, which no end of a listing starts with
                out[16] = kEntries[sequence - 1].type;
                const std::string name = kEntries[sequence - 1].name;
                out.insert(out.end(), name.begin(), name.end());
                out.push_back(0);
            }
        } else {
            out.resize(8, 0);  // done, error code 0
        }
        return ::answer(out);
    }
};

TEST_F(HostileListing, ListingNamesThatLeaveTheFolderAreSkippedAndTheRestRemoved) {
    EXPECT_EQ(del_dir(line, "/home"), 1);

    EXPECT_EQ(paths_, (std::vector<std::string>{"11 /home", "8 /home/old"}));
    EXPECT_EQ(log.count("del_dir: skip name "), 4) << log.text();
}

}  // namespace
