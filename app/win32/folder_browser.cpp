#include "app/win32/folder_browser.h"

#include <shlobj.h>

namespace {

FolderBrowser& installed() {
    static FolderBrowser browser;
    return browser;
}

std::string shell_browser(HWND owner, const char* title) {
    BROWSEINFOA info{};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;  // the desktop
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE item = ::SHBrowseForFolderA(&info);
    if (!item) return {};
    char path[MAX_PATH] = {};
    const bool found = ::SHGetPathFromIDListA(item, path);
    ::CoTaskMemFree(item);
    return found ? path : "";
}

}  // namespace

void set_folder_browser(FolderBrowser browser) {
    installed() = std::move(browser);
}

std::string browse_for_folder(HWND owner, const char* title) {
    return installed() ? installed()(owner, title) : shell_browser(owner, title);
}
