#include "tests/windows/fake_bus.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr WPARAM kArrival = 0x8000;
constexpr WPARAM kRemoveComplete = 0x8004;

bool class_guid(const char* name, GUID* guid) {
    DWORD found = 0;
    return ::SetupDiClassGuidsFromNameExA(name, guid, 1, &found, nullptr, nullptr) && found > 0;
}

BOOL CALLBACK tell_window(HWND window, LPARAM event) {
    ::SendMessageTimeoutA(window, WM_DEVICECHANGE, static_cast<WPARAM>(event), 0, SMTO_ABORTIFHUNG,
                          5000, nullptr);
    return TRUE;
}

}  // namespace

bool add_fake_device(const char* class_name, const std::string& instance_id,
                     const std::string& friendly_name) {
    GUID guid{};
    if (!class_guid(class_name, &guid)) return false;
    HDEVINFO set = ::SetupDiCreateDeviceInfoList(&guid, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const bool ok =
        ::SetupDiCreateDeviceInfoA(set, instance_id.c_str(), &guid, friendly_name.c_str(), nullptr,
                                   0, &device) &&
        ::SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                            reinterpret_cast<const BYTE*>(friendly_name.c_str()),
                                            static_cast<DWORD>(friendly_name.size() + 1)) &&
        ::SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
    if (!ok)
        std::fprintf(stderr, "cannot add %s: error %lu\n", instance_id.c_str(), ::GetLastError());
    ::SetupDiDestroyDeviceInfoList(set);
    return ok;
}

namespace {

// Calls visit(list, device, identifier) for every present device of the class.
template <typename Visit>
void each_device(const char* class_name, Visit visit) {
    GUID guid{};
    if (!class_guid(class_name, &guid)) return;
    HDEVINFO list =
        ::SetupDiGetClassDevsExA(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        char id[200] = {};
        ::SetupDiGetDeviceInstanceIdA(list, &device, id, sizeof id, nullptr);
        visit(list, device, std::string(id));
    }
    ::SetupDiDestroyDeviceInfoList(list);
}

}  // namespace

void remove_fake_devices(const char* class_name, const std::string& instance_id) {
    each_device(class_name, [&](HDEVINFO list, SP_DEVINFO_DATA& device, const std::string& id) {
        if (instance_id == "*" || _stricmp(instance_id.c_str(), id.c_str()) == 0)
            ::SetupDiRemoveDevice(list, &device);
    });
}

std::vector<std::string> list_fake_devices(const char* class_name) {
    std::vector<std::string> ids;
    each_device(class_name,
                [&](HDEVINFO, SP_DEVINFO_DATA&, const std::string& id) { ids.push_back(id); });
    return ids;
}

void broadcast_device_change(bool arrival) {
    ::EnumWindows(tell_window, static_cast<LPARAM>(arrival ? kArrival : kRemoveComplete));
}
