// The upgrade dialog on a desktop against the emulated modem: writes a sample firmware package
// beside a copy of the fwupgrade program, plugs the emulated modem into a mocked USB bus in its
// normal mode and starts the program without arguments, so that its dialog opens. Answer the
// prompt with OK (or press Start) and watch the run; the program ends after "Download ok".
//
//   dialog_demo [folder]      (default: a new folder under /tmp, kept afterwards with the log)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "emulator/emulator.h"
#include "testbed/child_process.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/preload.h"

namespace {

// The program inherits the mocked device database through the preload and the environment.
int run_program(const std::string& folder) {
    const std::string program = folder + "/fwupgrade";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        setenv("XDG_DOCUMENTS_DIR", folder.c_str(), 1);  // download.dbg goes beside the package
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        std::perror(program.c_str());
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    std::string folder;
    if (argc > 1) {
        folder = argv[1];
        std::filesystem::create_directories(folder);
    } else {
        char name[] = "/tmp/fwupgrade-dialog-XXXXXX";
        if (!mkdtemp(name)) {
            std::perror("mkdtemp");
            return 2;
        }
        folder = name;
    }

    const testbed::ChildResult tool = testbed::run_child({SAMPLE_PACKAGE_TOOL, folder}, 60000);
    if (!tool.finished || tool.exit_status != 0) {
        std::fprintf(stderr, "dialog_demo: the sample package tool failed\n%s",
                     tool.output.c_str());
        return 2;
    }
    std::filesystem::copy_file(FWUPGRADE_PROGRAM, folder + "/fwupgrade",
                               std::filesystem::copy_options::overwrite_existing);

    testbed::MockedUsbDeviceOptions usb;
    usb.disk_after_reset = true;
    testbed::MockedUsbDevice bus(usb);
    emu::Options options;
    options.provider = &bus;
    emu::Emulator device(options);
    if (!device.start()) {
        std::fprintf(stderr, "dialog_demo: the emulated device did not start: %s\n",
                     device.error().c_str());
        return 2;
    }
    std::printf("dialog_demo: modem in normal mode on %s; starting %s/fwupgrade\n",
                device.device_node().c_str(), folder.c_str());
    std::fflush(stdout);

    const int status = run_program(folder);
    device.stop();
    std::printf("dialog_demo: fwupgrade exited with status %d; log: %s/download.dbg\n", status,
                folder.c_str());
    return status;
}
