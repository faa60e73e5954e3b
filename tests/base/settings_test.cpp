#include "base/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "base/platform_paths.h"
#include "tests/base/settings_fixture.h"

namespace {

TEST_F(SettingsTest, MissingFileGivesDefaults) {
    EXPECT_EQ(get("id", "fw", "0"), "0");
    EXPECT_EQ(get_int("id", "idnum", 0), 0);
    EXPECT_EQ(get("id", "diag0", ""), "");
}

TEST_F(SettingsTest, MissingSectionOrKeyGivesDefault) {
    given("[id]\nfw=123\n[other]\nidnum=4\n");
    EXPECT_EQ(get("firmware", "fw"), "none");
    EXPECT_EQ(get("id", "idnum"), "none");
    EXPECT_EQ(get_int("id", "idnum", 0), 0);
    EXPECT_EQ(get_int("other", "idnum"), 4);
}

TEST_F(SettingsTest, NamesMatchWithoutRegardToCase) {
    given("[ID]\nDiag0=USB\\VID_1234\n");
    EXPECT_EQ(get("id", "diag0"), "USB\\VID_1234");
    EXPECT_EQ(get("Id", "DIAG0"), "USB\\VID_1234");
}

TEST_F(SettingsTest, BlanksAroundNamesAndValuesAreIgnored) {
    given("  [ id ]  \n\t fw \t=  1.2 3 \t\n");
    EXPECT_EQ(get("id", "fw"), "1.2 3");
}

TEST_F(SettingsTest, MatchingQuotesAreRemoved) {
    given("[id]\na=\" quoted \"\nb=\"half\nc=\"\"\nd='single'\ne=\"mixed'\n");
    EXPECT_EQ(get("id", "a"), " quoted ");
    EXPECT_EQ(get("id", "b"), "\"half");
    EXPECT_EQ(get("id", "c"), "");
    EXPECT_EQ(get("id", "d"), "single");
    EXPECT_EQ(get("id", "e"), "\"mixed'");
}

TEST_F(SettingsTest, CommentLinesAreSkipped) {
    given("; [id]\n[id]\n;fw=9\n  ; fw=8\nfw=7\n");
    EXPECT_EQ(get("id", "fw"), "7");
}

TEST_F(SettingsTest, KeysOfOtherSectionsAndBeforeAnySectionAreNotSeen) {
    given("fw=1\n[net]\nfw=2\n[id]\nidnum=1\n");
    EXPECT_EQ(get("id", "fw"), "none");
}

TEST_F(SettingsTest, FirstOfTwoEqualKeysWins) {
    given("[id]\nfw=first\nFW=second\n");
    EXPECT_EQ(get("id", "fw"), "first");
}

TEST_F(SettingsTest, CrlfLinesAndByteOrderMarkAreRead) {
    given("\xEF\xBB\xBF[id]\r\nfw=2.0\r\nidnum=3\r\n");
    EXPECT_EQ(get("id", "fw"), "2.0");
    EXPECT_EQ(get_int("id", "idnum"), 3);
}

TEST_F(SettingsTest, LastLineWithoutLineEndIsRead) {
    given("[id]\r\nfw=5");
    EXPECT_EQ(get("id", "fw"), "5");
}

TEST_F(SettingsTest, ValueIsCutToBufferSize) {
    given("[id]\nfw=1234567890ABC\n");
    char out[16] = "xxxxxxxxxxxxxxx";
    EXPECT_EQ(get_profile_string("id", "fw", "0", out, 10, path()), 9);
    EXPECT_STREQ(out, "123456789");
    EXPECT_EQ(out[10], 'x');  // nothing written past the buffer
    EXPECT_EQ(get_profile_string("id", "fw", "0", out, 1, path()), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(SettingsTest, ValueEndsAtANulByteAndTheCountIsItsLength) {
    given(
        std::string("[id]\nfw=12\0"
                    "34\nidnum=\0"
                    "5\n",
                    23));
    char out[32];
    EXPECT_EQ(get_profile_string("id", "fw", "none", out, sizeof out, path()), 2);
    EXPECT_STREQ(out, "12");
    // A value that is empty up to its NUL is no number: the default.
    EXPECT_EQ(get_int("id", "idnum", -7), -7);
}

TEST_F(SettingsTest, DefaultIsCutToo) {
    char out[4];
    EXPECT_EQ(get_profile_string("id", "fw", "abcdef", out, sizeof(out), path()), 3);
    EXPECT_STREQ(out, "abc");
}

TEST_F(SettingsTest, LongIdentifierFitsItsBuffer) {
    std::string value(400, 'P');
    given("[id]\ndiag0=" + value + "\n");
    char out[kPathBuffer];
    EXPECT_EQ(get_profile_string("id", "diag0", "", out, sizeof(out), path()), 259);
    EXPECT_EQ(std::string(out), value.substr(0, 259));
}

TEST_F(SettingsTest, IntegerIsReadLikeTheWindowsOne) {
    given(
        "[id]\na=2\nb= 12abc\nc=abc\nd=-3\ne=\nf=01\ng=yes\nh=99999999999999\ni=+4\n"
        "j=-99999999999999\n");
    EXPECT_EQ(get_int("id", "a"), 2);
    EXPECT_EQ(get_int("id", "b"), 12);
    EXPECT_EQ(get_int("id", "c"), 0);
    EXPECT_EQ(get_int("id", "d"), -3);
    EXPECT_EQ(get_int("id", "e"), -7);  // an empty value counts as missing
    EXPECT_EQ(get_int("id", "f"), 1);
    EXPECT_EQ(get_int("id", "g"), 0);
    // Digits beyond 32 bits wrap round, as on Windows: 99999999999999 mod 2^32.
    EXPECT_EQ(get_int("id", "h"), 276447231);
    EXPECT_EQ(get_int("id", "i"), 4);
    EXPECT_EQ(get_int("id", "j"), -276447231);
    EXPECT_EQ(get_int("id", "missing"), -7);
}

TEST_F(SettingsTest, EveryReadSeesTheFileAsItIsNow) {
    given("[id]\nfw=1\n");
    EXPECT_EQ(get("id", "fw"), "1");
    given("[id]\nfw=2\n");
    EXPECT_EQ(get("id", "fw"), "2");
}

TEST_F(SettingsTest, WriterCreatesFileAndSection) {
    ASSERT_TRUE(write_profile_string("firmware", "path", "/media/fw", path()));
    EXPECT_EQ(get("firmware", "path"), "/media/fw");
    ASSERT_TRUE(write_profile_string("firmware", "path", "/other", path()));
    EXPECT_EQ(get("firmware", "path"), "/other");
}

TEST_F(SettingsTest, WriterAppendsSectionAfterLastLine) {
    given("\xEF\xBB\xBF[id]\r\nfw=1");
    ASSERT_TRUE(write_profile_string("firmware", "path", "/p", path()));
    EXPECT_EQ(read_file(path()), "\xEF\xBB\xBF[id]\r\nfw=1\r\n[firmware]\r\npath=/p\r\n");
}

TEST_F(SettingsTest, WrittenValueStaysOnOneLine) {
    ASSERT_TRUE(write_profile_string("firmware", "path", "/a\n[id]\nidnum=9", path()));
    EXPECT_EQ(get("firmware", "path"), "/a");
    EXPECT_EQ(get_int("id", "idnum", 0), 0);
}

TEST_F(SettingsTest, WriterFailsInMissingFolder) {
    EXPECT_FALSE(write_profile_string("firmware", "path", "/p", dir_.file("no/settings.ini")));
}

TEST(ProgramFolder, IsTheExecutablesFolderWithTrailingSeparator) {
    std::string expected = executable_path();
    ASSERT_FALSE(expected.empty());
    expected.resize(expected.rfind(path_separator()) + 1);
    EXPECT_EQ(own_program_folder(), expected);
    EXPECT_EQ(settings_path(own_program_folder()), expected + "settings.ini");
}

TEST(ProgramFolder, OverrideGetsTrailingSeparatorAndCanBeUndone) {
    const std::string real = own_program_folder();
    set_program_folder_override("/tmp/pkg");
    const std::string expected = std::string("/tmp/pkg") + path_separator();
    EXPECT_EQ(own_program_folder(), expected);
    EXPECT_EQ(settings_path(own_program_folder()), expected + "settings.ini");
    set_program_folder_override("");
    EXPECT_EQ(own_program_folder(), real);
}

}  // namespace
