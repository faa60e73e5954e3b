// The package folder chosen in the dialog, remembered for the next start.
//
// An installed program lies in /usr/bin, where no package is. Its dialog then lets the user choose
// the package folder with the folder browser and keeps the choice in the user's configuration
// folder (<config>/fwupgrade/fwupgrade.ini, section [package], key folder), so that the next start
// finds it again. Started beside a package, the program takes that one as it always did and never
// reads or writes the remembered folder.
#pragma once

#include <mutex>
#include <string>

// The package folder a session's run takes everything from (settings.ini, the firmware folder,
// "home", image.iso): the one the user gave (--package, the dialog's folder browser), else the
// folder of the running executable. The dialog's thread sets it while a worker may read it.
class PackageFolder {
  public:
    // An empty folder goes back to the executable's own folder.
    void set(const std::string& folder);
    // The folder with a trailing '/'; empty when it does not fit kPathBuffer, since a cut path
    // would name some other folder.
    std::string program_folder() const;
    // "<program folder>settings.ini".
    std::string settings_path() const;

  private:
    mutable std::mutex lock_;
    std::string given_;  // with its separator; empty: the executable's folder
};

// True when settings.ini lies in the program's own folder.
bool package_beside_program();

// The command that runs the upgrade without a window: "<program> run", or, for a program with no
// package beside it (an installed one), "<program> --package DIR run", since a bare run would
// look for the package in the program's own folder.
std::string windowless_command(const std::string& program);

// True when folder (with or without a trailing '/') holds a settings.ini.
bool settings_in(const std::string& folder);

// Makes folder the package folder when it is a folder whose path fits; false otherwise, and the
// package folder stays as it was.
bool use_package_folder(PackageFolder& package, const std::string& folder);

// The file that keeps the remembered folder; empty when the user has no configuration folder.
std::string remembered_folder_file();

// The remembered folder; empty when none is remembered.
std::string remembered_package_folder();

// Remembers folder for the next start, creating the configuration folder when needed; false when
// it could not be written.
bool remember_package_folder(const std::string& folder);
