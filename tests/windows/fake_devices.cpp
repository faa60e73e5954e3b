// Stands in for the USB bus of a Windows machine under wine, which has no devices of its own: adds
// and removes devices of the classes the program searches ("PORTS", "DiskDrive") with the instance
// identifiers and friendly names a real modem would have, and tells the program's windows that
// devices came or went, as Windows broadcasts it.
//
//   fake_devices add <class> <instance id> <friendly name>
//   fake_devices remove <class> <instance id>      every device of the class when the id is "*"
//   fake_devices list <class>
//   fake_devices notify arrival|removal            WM_DEVICECHANGE to every top-level window
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr WPARAM kArrival = 0x8000;
constexpr WPARAM kRemoveComplete = 0x8004;

bool class_guid(const char* name, GUID* guid) {
    DWORD found = 0;
    return ::SetupDiClassGuidsFromNameExA(name, guid, 1, &found, nullptr, nullptr) && found > 0;
}

int add(const char* class_name, const char* id, const char* name) {
    GUID guid{};
    if (!class_guid(class_name, &guid)) return 1;
    HDEVINFO set = ::SetupDiCreateDeviceInfoList(&guid, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    bool ok = ::SetupDiCreateDeviceInfoA(set, id, &guid, name, nullptr, 0, &device) &&
              ::SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                                  reinterpret_cast<const BYTE*>(name),
                                                  static_cast<DWORD>(std::strlen(name) + 1)) &&
              ::SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
    if (!ok) std::fprintf(stderr, "fake_devices: cannot add %s: error %lu\n", id, ::GetLastError());
    ::SetupDiDestroyDeviceInfoList(set);
    return ok ? 0 : 1;
}

// Removes (or, with print, lists) the present devices of the class whose id is id ("*": all).
int visit(const char* class_name, const char* id, bool print) {
    GUID guid{};
    if (!class_guid(class_name, &guid)) return 1;
    HDEVINFO list =
        ::SetupDiGetClassDevsExA(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) return 1;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        char found[200] = {};
        ::SetupDiGetDeviceInstanceIdA(list, &device, found, sizeof found, nullptr);
        if (print) {
            std::printf("%s\n", found);
        } else if (std::strcmp(id, "*") == 0 || _stricmp(id, found) == 0) {
            ::SetupDiRemoveDevice(list, &device);
        }
    }
    ::SetupDiDestroyDeviceInfoList(list);
    return 0;
}

BOOL CALLBACK tell_window(HWND window, LPARAM event) {
    ::SendMessageTimeoutA(window, WM_DEVICECHANGE, static_cast<WPARAM>(event), 0, SMTO_ABORTIFHUNG,
                          5000, nullptr);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "add" && argc == 5) return add(argv[2], argv[3], argv[4]);
    if (verb == "remove" && argc == 4) return visit(argv[2], argv[3], false);
    if (verb == "list" && argc == 3) return visit(argv[2], "*", true);
    if (verb == "notify" && argc == 3) {
        const bool arrival = std::strcmp(argv[2], "arrival") == 0;
        ::EnumWindows(tell_window, static_cast<LPARAM>(arrival ? kArrival : kRemoveComplete));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: fake_devices add <class> <id> <name> | remove <class> <id|*> | "
                 "list <class> | notify arrival|removal\n");
    return 2;
}
