// Where the log goes on Linux: the documents folder of the XDG user directories.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/log.h"
#include "tests/support/text_files.h"

namespace {

class DocumentsFolder : public ::testing::Test {
  protected:
    void TearDown() override { log_close(); }
};

TEST_F(DocumentsFolder, EnvironmentNamesTheFolder) {
    TempDir docs;
    ScopedEnv xdg("XDG_DOCUMENTS_DIR", docs.path().c_str());
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), docs.file("download.dbg"));
}

TEST_F(DocumentsFolder, UserDirsFileNamesTheFolder) {
    TempDir home;
    std::filesystem::create_directories(home.file(".config"));
    std::filesystem::create_directories(home.file("Docs"));
    write_file(home.file(".config/user-dirs.dirs"),
               "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
               "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    ScopedEnv no_env("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnv no_config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home_env("HOME", home.path().c_str());
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), home.file("Docs/download.dbg"));
}

TEST_F(DocumentsFolder, WithoutUserDirsFileDocumentsUnderHomeIsUsed) {
    TempDir home;
    std::filesystem::create_directories(home.file("Documents"));
    ScopedEnv no_env("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnv no_config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home_env("HOME", home.path().c_str());
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), home.file("Documents/download.dbg"));
}

}  // namespace
