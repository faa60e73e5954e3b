// The emulated device as a USB device in the mocked device database: each mode shows up with its
// own USB identity and a new /dev/ttyUSBn, and leaves with real remove events, as a real device
// re-enumerates at every mode change; like a real one it comes back at the hub port it is plugged
// into. After the final reset it may also bring its disk, another interface of the same device.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "emulator/port_provider.h"
#include "testbed/testbed.h"

namespace testbed {

struct UsbIdentity {
    unsigned vendor_id = 0x05C6;
    unsigned product_id = 0x9003;
    unsigned interface_number = 0;
    unsigned num_interfaces = 3;
    std::string product = "USB Modem";
};

struct MockedUsbDeviceOptions {
    // Normal operation: "USB\VID_05C6&PID_9003&MI_00\...", the identifier a search starts from.
    UsbIdentity diag{};
    // The boot downloader, and the flash programmer it starts: a single-interface device,
    // "USB\VID_05C6&PID_9100\...".
    UsbIdentity dload{0x05C6, 0x9100, 0, 1, "USB Modem Download"};
    UsbIdentity stream{0x05C6, 0x9100, 0, 1, "USB Modem Download"};
    // Present a USB disk too when the device comes back after its final reset.
    bool disk_after_reset = false;
    UsbDiskSpec disk{};  // its SCSI strings; the USB device is the modem's own
    // The hub port the modem is plugged into, its name on the bus ("1-1.2") in every mode.
    // Empty: one the testbed has given no device before.
    std::string hub_port;
    // The USB serial number the modem shows in every mode; empty: none.
    std::string serial;
};

class MockedUsbDevice : public emu::PortProvider {
  public:
    explicit MockedUsbDevice(MockedUsbDeviceOptions options = {});
    // Takes away whatever is still attached.
    ~MockedUsbDevice() override;

    emu::Endpoint attach(emu::Mode mode, bool after_reset) override;
    void detach(const emu::Endpoint& endpoint) override;
    void hang_up(const emu::Endpoint& endpoint) override;

    // The node of the port attached now; empty while the device is away.
    std::string current_node() const;
    // Where the modem is plugged in, the same across its re-enumerations.
    const std::string& hub_port() const { return options_.hub_port; }
    // Bytes the device wrote that the program has not read yet; -1 when unknown.
    int unread(const emu::Endpoint& endpoint) const;

  private:
    struct Attached {
        FakeDevice port;
        std::vector<FakeDevice> extras;  // the disk after the final reset
    };

    MockedUsbDeviceOptions options_;
    mutable std::mutex mutex_;
    std::vector<Attached> attached_;
};

}  // namespace testbed
