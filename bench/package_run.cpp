#include "bench/package_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

extern "C" char** environ;

namespace bench {

namespace {

namespace fs = std::filesystem;

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code missing;
    const auto size_a = fs::file_size(a, missing);
    if (missing || fs::file_size(b, missing) != size_a || missing) return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y));
}

// What the flash and the programmer's memory must hold, each beside the package's file.
constexpr std::pair<const char*, const char*> kFlashed[] = {
    {"expected/programmer.bin", "programmer-ram.bin"},
    {"expected/programmer.txt", "programmer.txt"},
    {"VELMOR/partition.mbn", "partition.bin"},
    {"VELMOR/qcsblhd_cfgdata.mbn", "image-2.bin"},
    {"VELMOR/qcsbl.mbn", "image-3.bin"},
    {"VELMOR/oemsblhd.mbn", "header-4.bin"},
    {"VELMOR/oemsbl.mbn", "image-4.bin"},
    {"VELMOR/amsshd.mbn", "header-5.bin"},
    {"VELMOR/amss.mbn", "image-5.bin"},
};

}  // namespace

TemporaryFolder::TemporaryFolder(const char* stem) {
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path make_package(const fs::path& folder, bool large, bool sealed) {
    const fs::path tools = fs::canonical("/proc/self/exe").parent_path().parent_path() / "app";
    const fs::path package = folder / "package";
    std::vector<std::string> make_args = {package.string()};
    if (large) make_args.insert(make_args.begin(), "--large");
    if (run_in(folder, tools / "make_sample_package", make_args) != 0)
        throw std::runtime_error("make_sample_package failed");
    fs::copy_file(tools / "fwupgrade", package / "fwupgrade");
    if (sealed && run_in(folder, package / "fwupgrade", {"--seal", package.string()}) != 0)
        throw std::runtime_error("the package was not sealed");
    return package;
}

int run_in(const fs::path& folder, const fs::path& program, std::vector<std::string> args) {
    std::string env_folder = "XDG_DOCUMENTS_DIR=" + folder.string();
    std::vector<char*> envp = {env_folder.data()};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "XDG_DOCUMENTS_DIR=", 18) != 0) envp.push_back(*e);
    envp.push_back(nullptr);
    std::string path = program.string();
    std::vector<char*> argv = {path.data()};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // The program's console goes to a file beside it: the figures stay readable.
    const std::string console = (folder / "console.txt").string();
    posix_spawn_file_actions_addopen(&actions, 1, console.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool copied_files(const fs::path& package, const fs::path* dumps, int* files,
                  std::uint64_t* bytes) {
    *files = 1;
    *bytes = fs::file_size(package / "image.iso");
    bool same = !dumps || same_file(package / "image.iso", *dumps / "efs" / "image.iso");
    for (const auto& entry : fs::recursive_directory_iterator(package / "home")) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.find(".link") != std::string::npos) continue;
        ++*files;
        *bytes += entry.file_size();
        if (dumps)
            same =
                same && same_file(entry.path(), *dumps / "efs" / "home" /
                                                    fs::relative(entry.path(), package / "home"));
    }
    return same;
}

bool holds_package(const fs::path& package, const fs::path& dumps) {
    for (const auto& [expected, flashed] : kFlashed)
        if (!same_file(package / expected, dumps / "flash" / flashed)) return false;
    int files = 0;
    std::uint64_t bytes = 0;
    return copied_files(package, &dumps, &files, &bytes);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace bench
