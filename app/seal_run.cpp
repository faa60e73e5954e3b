#include "app/seal_run.h"

#include "app/package_check.h"
#include "app/package_sums.h"

int run_seal(const std::string& folder, std::FILE* out, std::FILE* err) {
    // An old SHA256SUMS is replaced, not believed: the package is checked without it.
    Package package;
    std::string refusal;
    if (!check_package_files(folder, &package, &refusal)) {
        std::fprintf(err, "The package is refused: %s\nNo %s was written.\n", refusal.c_str(),
                     kSumsFile);
        return 1;
    }
    const std::vector<std::string> files = package_files(package);
    std::string error;
    if (!write_sums(folder, files, &error)) {
        std::fprintf(err, "%s%s was not written: %s\n", folder.c_str(), kSumsFile, error.c_str());
        return 1;
    }
    std::fprintf(out, "%s%s lists %s files.\n", folder.c_str(), kSumsFile,
                 std::to_string(files.size()).c_str());
    return 0;
}
