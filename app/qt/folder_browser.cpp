#include "app/qt/folder_browser.h"

#include <QFileDialog>

namespace {

FolderBrowser& browser() {
    static FolderBrowser instance;
    return instance;
}

QString show_real_browser(QWidget* owner, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
}

}  // namespace

void set_folder_browser(FolderBrowser folder_browser) {
    browser() = std::move(folder_browser);
}

QString browse_for_folder(QWidget* owner, const QString& title, const QString& start) {
    return browser() ? browser()(owner, title, start) : show_real_browser(owner, title, start);
}
