#include <cstdio>

#include "app/run_dialog.h"

int run_dialog(int, char** argv) {
    std::fprintf(stderr,
                 "This build has no dialog. Start the upgrade with a command line, for example:\n"
                 "  %s run\n"
                 "(%s --help tells more.)\n",
                 argv[0], argv[0]);
    return 1;
}
