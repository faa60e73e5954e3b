// Single EFS2 operations against the emulated modem's file system.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "diag/efs.h"
#include "link/serial_port.h"
#include "tests/diag/efs_support.h"

namespace {

using efs_test::EmulatedModem;
using efs_test::ScriptedDevice;

// A request as the transcript records it: "[length] " and the bytes in hexadecimal, to the end
// of the line.
std::string request_hex(const std::vector<std::uint8_t>& bytes) {
    std::string text = "[" + std::to_string(bytes.size()) + "]";
    char digits[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof(digits), " %02X", b);
        text += digits;
    }
    return text + "\n";
}

std::vector<std::uint8_t> packet(std::initializer_list<std::uint8_t> head,
                                 const std::string& tail) {
    std::vector<std::uint8_t> bytes(head);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

class EfsOperations : public ::testing::Test {
  protected:
    LogCapture log;
    EmulatedModem modem;
};

TEST_F(EfsOperations, SymlinkRequestCarriesTargetThenLinkPath) {
    ASSERT_EQ(create_efs_symlink("/bin/busybox", "/home/sh"), 1);

    EXPECT_EQ(modem->efs_link_target("/home/sh"), "/bin/busybox");
    std::vector<std::uint8_t> expected = packet({0x4B, 0x13, 0x06, 0x00}, "/bin/busybox");
    expected.push_back(0);
    expected.insert(expected.end(), {'/', 'h', 'o', 'm', 'e', '/', 's', 'h', 0});
    ASSERT_EQ(expected.size(), 26u);
    EXPECT_NE(modem.transcript().find(request_hex(expected)), std::string::npos)
        << modem.transcript();
}

TEST_F(EfsOperations, MkdirRequestCarriesModeThenPath) {
    ASSERT_EQ(create_efs_dir("/home/www"), 1);

    EXPECT_EQ(modem->efs_type("/home/www"), emu::EfsType::Directory);
    std::vector<std::uint8_t> expected = packet({0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, "/home/www");
    expected.push_back(0);
    ASSERT_EQ(expected.size(), 16u);
    EXPECT_NE(modem.transcript().find(request_hex(expected)), std::string::npos)
        << modem.transcript();
}

TEST_F(EfsOperations, OpeningMissingFolderFailsTenTimesWithOneLine) {
    EfsHandle handle;
    std::memset(handle, 0xAA, sizeof(handle));

    EXPECT_EQ(open_efs_dir("/home/missing", handle), 0);

    EXPECT_EQ(modem.efs_requests(11), 10);
    EXPECT_EQ(handle[0], 0xAA) << "a failed open leaves the handle alone";
    EXPECT_EQ(log.text(), "open_efs_dir: recv bad data error! \n");
}

TEST_F(EfsOperations, UnlinkingMissingFileIsReportedAsBadCommand) {
    EXPECT_EQ(unlink_efs_file("/home/missing"), 0);

    EXPECT_EQ(modem.efs_requests(8), 10);
    EXPECT_EQ(log.text(), "unlink_efs_file: recv bad cmd error! \n");
}

TEST_F(EfsOperations, SizeOfEmptyPathSendsNothing) {
    EXPECT_EQ(get_efs_size(""), 0u);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(EfsOperations, SizeOfFileIsReadFromItsStatAnswer) {
    ASSERT_TRUE(modem->efs_put_file("/home/f", std::vector<std::uint8_t>(70000, 1)));
    ASSERT_TRUE(modem->efs_put_file("/home/empty", {}));

    EXPECT_EQ(get_efs_size("/home/f"), 70000u);
    std::uint32_t size = 99;
    EXPECT_EQ(query_efs_size("/home/empty", &size), 1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(query_efs_size("/home/none", &size), 0) << "a failure is told apart from size 0";
    EXPECT_EQ(log.count("get_efs_size: recv bad data error! \n"), 1);
}

TEST_F(EfsOperations, ListingReadsEveryEntryThenEndsWithTheEndPattern) {
    ASSERT_TRUE(modem->efs_put_file("/home/a", {1, 2, 3}));
    ASSERT_TRUE(modem->efs_put_dir("/home/b"));
    ASSERT_TRUE(modem->efs_put_link("/home/c", "/bin/busybox"));
    const std::vector<std::string> order = modem->efs_list("/home");
    ASSERT_EQ(order.size(), 3u);
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir("/home", handle), 1);

    std::vector<std::pair<std::string, int>> seen;
    char name[256];
    int type = -1;
    for (int sequence = 1; sequence <= 3; ++sequence) {
        ASSERT_EQ(read_efs_dir(handle, sequence, name, &type, sizeof(name)), 1);
        seen.emplace_back(name, type);
    }
    const int before = modem.efs_requests(12);
    EXPECT_EQ(read_efs_dir(handle, 4, name, &type, sizeof(name)), -1);
    EXPECT_EQ(close_efs_dir(handle), 1);

    EXPECT_EQ(modem.efs_requests(12) - before, 1) << "the end of a listing is not retried";
    const std::map<std::string, int> types(seen.begin(), seen.end());
    EXPECT_EQ(types, (std::map<std::string, int>{{"a", 0}, {"b", 1}, {"c", 2}}));
    EXPECT_EQ(seen[0].first, order[0]);
    EXPECT_EQ(seen[2].first, order[2]);
    EXPECT_EQ(log.text(), "read_efs_dir: no file error! \n");
}

TEST_F(EfsOperations, NonReaddirAnswerFailsTheListingAtOnce) {
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir("/home", handle), 1);
    emu::Fault fault;
    fault.kind = emu::FaultKind::DiagError;
    fault.command = 0x4B;
    fault.efs_command = 12;
    modem->add_fault(fault);

    char name[256];
    int type = 0;
    // Not the end of the listing: what was not listed yet would be taken for gone.
    EXPECT_EQ(read_efs_dir(handle, 1, name, &type, sizeof(name)), 0);

    EXPECT_EQ(modem.efs_requests(12), 1);
    EXPECT_EQ(log.text(), "read_efs_dir: recv bad cmd error! \n");
    close_efs_dir(handle);
}

TEST_F(EfsOperations, EmptyEntryNameIsRetriedTenTimes) {
    // The device answers a handle it does not know with an entry without a name.
    const EfsHandle unknown = {1, 2, 3, 4};
    char name[256];
    std::memset(name, 'x', sizeof(name));
    int type = 0;

    EXPECT_EQ(read_efs_dir(unknown, 1, name, &type, sizeof(name)), 0);

    EXPECT_EQ(modem.efs_requests(12), 10);
    EXPECT_EQ(std::memcmp(name, "\0\0\0\0", 4), 0);
    EXPECT_EQ(log.text(), "read_efs_dir: null data error! \n");
}

TEST_F(EfsOperations, EntryNameWithoutRoomIsRefusedNotCut) {
    ASSERT_TRUE(modem->efs_put_file("/home/longname", {1}));
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir("/home", handle), 1);
    char name[8];
    int type = -1;

    EXPECT_EQ(read_efs_dir(handle, 1, name, &type, sizeof(name)), 0);
    close_efs_dir(handle);

    EXPECT_EQ(log.text(), "read_efs_dir: name too long error! \n");
}

TEST_F(EfsOperations, RetryResendsTheSamePacket) {
    emu::Fault fault;
    fault.kind = emu::FaultKind::Drop;
    fault.command = 0x4B;
    fault.efs_command = 9;
    fault.times = 2;
    modem->add_fault(fault);

    ASSERT_EQ(create_efs_dir("/home/www"), 1);

    EXPECT_EQ(modem.efs_requests(9), 3);
    std::vector<std::uint8_t> expected = packet({0x4B, 0x13, 0x09, 0x00, 0xFF, 0x01}, "/home/www");
    expected.push_back(0);
    const std::string transcript = modem.transcript();
    const std::string hex = request_hex(expected);
    int copies = 0;
    for (auto at = transcript.find(hex); at != std::string::npos; at = transcript.find(hex, at + 1))
        ++copies;
    EXPECT_EQ(copies, 3);
    EXPECT_EQ(log.text().find("create_efs_dir"), std::string::npos)
        << "a success after failed attempts logs nothing of its own";
}

TEST_F(EfsOperations, PathsThatDoNotFitAreRefusedBeforeSending) {
    // The request buffer holds 256 bytes: header, body and the path's NUL.
    const std::string mkdir_limit = "/" + std::string(248, 'd');    // 249 bytes: fits
    const std::string too_long_dir = "/" + std::string(249, 'd');   // 250 bytes
    const std::string too_long_file = "/" + std::string(243, 'f');  // 244 bytes
    const std::string target = "/" + std::string(124, 't');         // 125 + 126 = 251 bytes
    const std::string link = "/" + std::string(125, 'l');
    EfsHandle handle = {};

    EXPECT_EQ(create_efs_dir(too_long_dir.c_str()), 0);
    EXPECT_EQ(create_efs_file(too_long_file.c_str(), handle), 0);
    EXPECT_EQ(open_efs_file(too_long_file.c_str(), handle), 0);
    EXPECT_EQ(create_efs_symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(create_efs_dir(mkdir_limit.c_str()), 1);
    EXPECT_EQ(modem->efs_type(mkdir_limit), emu::EfsType::Directory);

    const std::string text = log.text();
    EXPECT_NE(text.find("create_efs_dir: path too long error! " + too_long_dir + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("create_efs_file: path too long error! " + too_long_file + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("open_efs_file: path too long error! " + too_long_file + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("create_efs_symlink: path too long error! " + link + "\n"),
              std::string::npos);
}

TEST_F(EfsOperations, FileOpenedForReadingAndCreatedForWritingGetHandles) {
    ASSERT_TRUE(modem->efs_put_file("/home/r", {1}));
    EfsHandle read_handle = {};
    EfsHandle write_handle = {};

    ASSERT_EQ(open_efs_file("/home/r", read_handle), 1);
    ASSERT_EQ(create_efs_file("/home/w", write_handle), 1);
    EXPECT_EQ(modem->efs_open_handles(), 2);
    EXPECT_EQ(close_efs_file(read_handle), 1);
    EXPECT_EQ(close_efs_file(write_handle), 1);

    EXPECT_EQ(modem->efs_open_handles(), 0);
    EXPECT_EQ(modem.efs_requests(3), 2) << "a close that is answered is sent once";
    EXPECT_EQ(modem->efs_type("/home/w"), emu::EfsType::File);
    EXPECT_EQ(open_efs_file("/home/none", read_handle), 0);
    EXPECT_EQ(log.text(), "open_efs_file: recv bad data error! \n");
}

TEST_F(EfsOperations, RefusedFolderRemovalFailsWithOneLine) {
    ASSERT_TRUE(modem->efs_put_file("/home/full/f", {1}));

    EXPECT_EQ(unlink_efs_dir("/home/full"), 0);

    EXPECT_EQ(modem.efs_requests(10), 10);
    EXPECT_EQ(modem->efs_type("/home/full"), emu::EfsType::Directory);
    EXPECT_EQ(log.text(), "unlink_efs_dir: recv bad data error! \n");
}

// Closes: a close must not count as done while the device may still hold the handle, nor fail
// when only its answer went missing.

TEST_F(EfsOperations, CloseWhoseAnswerIsLostCountsWhenTheRepeatIsRefused) {
    ASSERT_TRUE(modem->efs_put_file("/home/r", {1}));
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_file("/home/r", handle), 1);
    modem->add_fault(*emu::Fault::parse("lose:diag:0x4b:efs=3"));

    EXPECT_EQ(close_efs_file(handle), 1);

    EXPECT_EQ(modem.efs_requests(3), 2);
    EXPECT_EQ(modem->efs_open_handles(), 0);
    EXPECT_EQ(log.count("close_efs_file: closed by an earlier attempt\n"), 1);
    EXPECT_EQ(log.count("close_efs_file: recv"), 0);
}

TEST_F(EfsOperations, CloseWhoseRequestIsLostIsSentAgain) {
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir("/home", handle), 1);
    modem->add_fault(*emu::Fault::parse("drop:diag:0x4b:efs=13"));

    EXPECT_EQ(close_efs_dir(handle), 1);

    EXPECT_EQ(modem.efs_requests(13), 2);
    EXPECT_EQ(modem->efs_open_handles(), 0);
    EXPECT_EQ(log.count("close_efs_dir"), 0);
}

TEST_F(EfsOperations, CloseOfAHandleTheDeviceDoesNotKnowFails) {
    const EfsHandle unknown = {1, 2, 3, 4};

    EXPECT_EQ(close_efs_file(unknown), 0);
    EXPECT_EQ(close_efs_dir(unknown), 0);

    EXPECT_EQ(modem.efs_requests(3), 10);
    EXPECT_EQ(modem.efs_requests(13), 10);
    EXPECT_EQ(log.text(),
              "close_efs_file: recv bad data error! \nclose_efs_dir: recv bad data error! \n");
}

TEST_F(EfsOperations, CloseOnAClosedLineFailsAsASendError) {
    EfsHandle handle = {};
    ASSERT_EQ(open_efs_dir("/home", handle), 1);
    close_port();

    EXPECT_EQ(close_efs_dir(handle), 0);

    EXPECT_EQ(modem->efs_open_handles(), 1);
    EXPECT_EQ(log.text(), "close_efs_dir: send cmd error! \n");
}

TEST(EfsAnswers, OpenAnswerWithWrongCodeIsABadCommand) {
    LogCapture log;
    ScriptedDevice device(
        [](const std::vector<std::uint8_t>& request) -> std::optional<std::vector<std::uint8_t>> {
            std::vector<std::uint8_t> answer(request.begin(), request.begin() + 4);
            answer[2] = 0x03;
            answer.resize(12, 0);
            return answer;
        });
    ASSERT_GT(efs_test::open_node(device.node()), 0);
    EfsHandle handle = {};

    EXPECT_EQ(open_efs_file("/home/r", handle), 0);

    EXPECT_EQ(device.requests(), 10);
    EXPECT_EQ(log.text(), "open_efs_file: receive bad cmd error! \n");
}

TEST(EfsAnswers, AnswerTooShortForItsFieldsIsNoSuccess) {
    LogCapture log;
    // Only the header: no handle and no error code.
    ScriptedDevice device(
        [](const std::vector<std::uint8_t>& request) -> std::optional<std::vector<std::uint8_t>> {
            return std::vector<std::uint8_t>(request.begin(), request.begin() + 4);
        });
    ASSERT_GT(efs_test::open_node(device.node()), 0);
    EfsHandle handle = {};

    EXPECT_EQ(create_efs_file("/home/w", handle), 0);
    EXPECT_EQ(get_efs_size("/home/w"), 0u);

    EXPECT_EQ(log.text(),
              "create_efs_file: recv bad data error! \nget_efs_size: recv bad data error! \n");
}

TEST(EfsAnswers, NoAnswerFailsAsSendOrCrcError) {
    LogCapture log;
    ScriptedDevice device([](const std::vector<std::uint8_t>&) { return std::nullopt; });
    ASSERT_GT(efs_test::open_node(device.node()), 0);

    // Only the hello does not look at the answer: the exchange going through is enough there.
    EXPECT_EQ(send_efs_hello(), 1);
    EXPECT_EQ(unlink_efs_dir("/home/x"), 0);
    EXPECT_EQ(create_efs_dir("/home/x"), 0);
    const EfsHandle handle = {1, 2, 3, 4};
    EXPECT_EQ(close_efs_file(handle), 0);

    EXPECT_EQ(device.requests(), 31);
    EXPECT_EQ(log.count("unlink_efs_dir: check crc error! \n"), 1);
    EXPECT_EQ(log.count("create_efs_dir: check crc error! \n"), 1);
    EXPECT_EQ(log.count("close_efs_file: check crc error! \n"), 1);
}

TEST(EfsAnswers, StatusAnswerOfAnotherOperationIsNoSuccess) {
    LogCapture log;
    // Every answer carries an error code of zero, under the code of an operation never asked for.
    ScriptedDevice device(
        [](const std::vector<std::uint8_t>& request) -> std::optional<std::vector<std::uint8_t>> {
            std::vector<std::uint8_t> answer(request.begin(), request.begin() + 4);
            answer[2] = 0x7F;
            answer.resize(12, 0);
            return answer;
        });
    ASSERT_GT(efs_test::open_node(device.node()), 0);
    EfsHandle handle = {1, 2, 3, 4};

    EXPECT_EQ(create_efs_symlink("/bin/busybox", "/home/sh"), 0);
    EXPECT_EQ(unlink_efs_file("/home/f"), 0);
    EXPECT_EQ(create_efs_dir("/home/d"), 0);
    EXPECT_EQ(unlink_efs_dir("/home/d"), 0);
    EXPECT_EQ(open_efs_dir("/home", handle), 0);
    EXPECT_EQ(close_efs_file(handle), 0);
    EXPECT_EQ(close_efs_dir(handle), 0);

    EXPECT_EQ(device.requests(), 70);
    EXPECT_EQ(log.text(),
              "create_efs_symlink: recv bad data error! \n"
              "unlink_efs_file: recv bad cmd error! \n"
              "create_efs_dir: recv bad data error! \n"
              "unlink_efs_dir: recv bad data error! \n"
              "open_efs_dir: recv bad data error! \n"
              "close_efs_file: recv bad cmd error! \n"
              "close_efs_dir: recv bad cmd error! \n");
}

}  // namespace
