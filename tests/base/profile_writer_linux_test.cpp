// Writing settings.ini on Linux: the file is changed in the one line written, every other line
// kept as it was, line ends and all.
#include <gtest/gtest.h>

#include "tests/base/settings_fixture.h"

namespace {

TEST_F(SettingsTest, WriterKeepsEveryOtherLine) {
    const std::string before =
        "; package settings\r\n[id]\r\nfw = 3.1\r\n\r\n[Firmware]\r\nPATH = \"old\"\r\n"
        "other=1\r\n[tail]\r\nx=y";
    given(before);
    ASSERT_TRUE(write_profile_string("firmware", "path", "/new", path()));
    EXPECT_EQ(read_file(path()),
              "; package settings\r\n[id]\r\nfw = 3.1\r\n\r\n[Firmware]\r\npath=/new\r\n"
              "other=1\r\n[tail]\r\nx=y");
}

TEST_F(SettingsTest, WriterAddsKeyToExistingSection) {
    given("[firmware]\nkeep=1\n\n[id]\nfw=1\n");
    ASSERT_TRUE(write_profile_string("firmware", "path", "/p", path()));
    EXPECT_EQ(read_file(path()), "[firmware]\nkeep=1\npath=/p\n\n[id]\nfw=1\n");
}

}  // namespace
