// Writing settings.ini on Windows, with the private-profile functions. What is read back is the
// same as on Linux; the file's other lines are written as the platform writes them.
//
// Under wine (where these tests run) WritePrivateProfileStringA writes the whole file anew from
// what it parsed: blanks around '=' and blank lines go, every line ends in CR LF, and a key takes
// the case it is written with. The program writes only [firmware] path, which nothing reads, so a
// package reads the same whichever way its file was rewritten.
#include <gtest/gtest.h>

#include "tests/base/settings_fixture.h"

namespace {

TEST_F(SettingsTest, WriterChangesTheLineAndKeepsTheOthersValues) {
    given(
        "; package settings\r\n[id]\r\nfw = 3.1\r\n\r\n[Firmware]\r\nPATH = \"old\"\r\n"
        "other=1\r\n[tail]\r\nx=y");
    ASSERT_TRUE(write_profile_string("firmware", "path", "/new", path()));
    EXPECT_EQ(get("firmware", "path"), "/new");
    EXPECT_EQ(get("id", "fw"), "3.1");
    EXPECT_EQ(get("firmware", "other"), "1");
    EXPECT_EQ(get("tail", "x"), "y");
    EXPECT_NE(read_file(path()).find("; package settings"), std::string::npos);
}

TEST_F(SettingsTest, WriterAddsKeyToExistingSection) {
    given("[firmware]\nkeep=1\n\n[id]\nfw=1\n");
    ASSERT_TRUE(write_profile_string("firmware", "path", "/p", path()));
    EXPECT_EQ(get("firmware", "path"), "/p");
    EXPECT_EQ(get("firmware", "keep"), "1");
    EXPECT_EQ(get("id", "fw"), "1");
    const std::string text = read_file(path());
    EXPECT_LT(text.find("path=/p"), text.find("[id]")) << "added to its own section";
}

}  // namespace
