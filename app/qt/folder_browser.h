// The folder browser behind the hidden browse button. Tests replace it.
#pragma once

#include <QString>
#include <functional>

class QWidget;

// Opens at start (an existing folder, or empty for the browser's default); returns the chosen
// folder, or an empty string when the user cancels.
using FolderBrowser =
    std::function<QString(QWidget* owner, const QString& title, const QString& start)>;

// An empty browser restores the real one (a folder dialog for file-system folders only).
void set_folder_browser(FolderBrowser browser);
QString browse_for_folder(QWidget* owner, const QString& title, const QString& start);
