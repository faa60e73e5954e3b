// Where the log goes on Windows: the documents folder shared by all users.
#include <windows.h>

#include <gtest/gtest.h>
#include <shlobj.h>

#include "base/log.h"

namespace {

TEST(DocumentsFolder, IsTheCommonDocumentsFolder) {
    char common[MAX_PATH];
    ASSERT_EQ(
        ::SHGetFolderPathA(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, common),
        S_OK);
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), std::string(common) + "\\download.dbg");
    log_close();
}

}  // namespace
