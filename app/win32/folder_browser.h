// The folder browser behind the hidden browse button. Tests replace it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Opens at start (an existing folder, or empty for the desktop); returns the chosen folder, or an
// empty string when the user cancels.
using FolderBrowser =
    std::function<std::string(HWND owner, const char* title, const std::string& start)>;

// An empty browser restores the real one: the shell's folder browser, owned by the dialog, rooted
// at the desktop, for file-system folders only, with start selected.
void set_folder_browser(FolderBrowser browser);
std::string browse_for_folder(HWND owner, const char* title, const std::string& start);
