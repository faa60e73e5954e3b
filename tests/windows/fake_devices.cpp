// The fake bus as a program, for the Linux side of the tests under wine: it adds and removes the
// emulated modem's devices as the modem changes mode, and tells the program's windows.
//
//   fake_devices add <class> <instance id> <friendly name>
//   fake_devices remove <class> <instance id>      every device of the class when the id is "*"
//   fake_devices list <class>
//   fake_devices notify arrival|removal
//   fake_devices serve      the same commands, one a line with their fields separated by tabs,
//                           from standard input, each answered with "ok" or "failed": a modem
//                           changing mode costs no wine start then
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tests/windows/fake_bus.h"

namespace {

int run(const std::vector<std::string>& args);

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out{"fake_devices"};
    std::size_t begin = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', begin);
        out.push_back(line.substr(begin, tab - begin));
        if (tab == std::string::npos) return out;
        begin = tab + 1;
    }
}

int serve() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << (run(fields(line)) == 0 ? "ok" : "failed") << std::endl;
    }
    return 0;
}

int run(const std::vector<std::string>& arg) {
    const int argc = static_cast<int>(arg.size());
    std::vector<const char*> pointers;
    for (const std::string& a : arg)
        pointers.push_back(a.c_str());
    const char* const* argv = pointers.data();
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "serve") return serve();
    if (verb == "add" && argc == 5) return add_fake_device(argv[2], argv[3], argv[4]) ? 0 : 1;
    if (verb == "remove" && argc == 4) {
        remove_fake_devices(argv[2], argv[3]);
        return 0;
    }
    if (verb == "list" && argc == 3) {
        for (const std::string& id : list_fake_devices(argv[2]))
            std::printf("%s\n", id.c_str());
        return 0;
    }
    if (verb == "notify" && argc == 3) {
        broadcast_device_change(std::string(argv[2]) == "arrival");
        return 0;
    }
    std::fprintf(stderr,
                 "usage: fake_devices add <class> <id> <name> | remove <class> <id|*> | "
                 "list <class> | notify arrival|removal | serve\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    return run(std::vector<std::string>(argv, argv + argc));
}
