#include "app/win32/folder_browser.h"

#include <shlobj.h>

namespace {

FolderBrowser& installed() {
    static FolderBrowser browser;
    return browser;
}

// Once the browser is up it selects the start folder, which opens the tree down to it.
int CALLBACK select_start(HWND browser, UINT message, LPARAM, LPARAM start) {
    if (message == BFFM_INITIALIZED && start)
        ::SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, start);
    return 0;
}

std::string shell_browser(HWND owner, const char* title, const std::string& start) {
    BROWSEINFOA info{};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;  // the desktop
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = select_start;
    info.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
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

std::string browse_for_folder(HWND owner, const char* title, const std::string& start) {
    return installed() ? installed()(owner, title, start) : shell_browser(owner, title, start);
}
