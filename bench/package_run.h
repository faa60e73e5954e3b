// What the road and the several-modem run share: a sample package made and sealed beside a copy of
// the shipped program in a temporary folder, the program run on it as a user starts it, and the
// comparison of what an emulated modem holds afterwards with the package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

// A temporary folder that goes whatever way the run ends: a large package holds some hundred MB.
class TemporaryFolder {
  public:
    explicit TemporaryFolder(const char* stem);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Makes the sample package (--large: of a realistic size) at folder/package with a copy of the
// program beside it, sealed when asked as a package author would; the package folder.
std::filesystem::path make_package(const std::filesystem::path& folder, bool large, bool sealed);

// Runs program with args in folder, its log going there and its console appended to
// folder/console.txt; its exit status, -1 when it did not start or end.
int run_in(const std::filesystem::path& folder, const std::filesystem::path& program,
           std::vector<std::string> args);

// The package's copied files (home's files, not its link descriptions, and image.iso): how many and
// their bytes; each is compared with the one under dumps/efs when dumps is given. False when one
// is missing or differs.
bool copied_files(const std::filesystem::path& package, const std::filesystem::path* dumps,
                  int* files, std::uint64_t* bytes);

// Whether a modem's dumps (dumps/efs, dumps/flash) hold the package: the copied files, the
// programmer in memory, the partition table, the images and their headers.
bool holds_package(const std::filesystem::path& package, const std::filesystem::path& dumps);

std::string read_text(const std::filesystem::path& path);

}  // namespace bench
