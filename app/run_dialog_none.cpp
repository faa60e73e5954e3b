#include <cstdio>

#include "app/package_folder.h"
#include "app/run_dialog.h"

int run_dialog(Session&, int, char** argv) {
    std::fprintf(stderr,
                 "This build has no dialog. Start the upgrade with a command line, for example:\n"
                 "  %s\n"
                 "(%s --help tells more.)\n",
                 windowless_command(argv[0]).c_str(), argv[0]);
    return 1;
}
