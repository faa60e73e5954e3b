#include "testbed/testbed.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "testbed/preload.h"

namespace testbed {

namespace {

// The line a port's program meets, per device node, as the ioctl handler keeps it.
struct LineState {
    std::atomic<unsigned> modem_bits{0};
    std::atomic<bool> exclusive{false};
    // The port's "add" event goes out before the testbed can reset the line, so a listening
    // program may already have opened and configured the port. Its first ioctl (TIOCEXCL right
    // after open, before it sets the line up) marks the line as taken, under this lock, and the
    // reset is then skipped.
    std::mutex taken_lock;
    bool taken = false;
};

// umockdev's preload sends direct ioctl() calls on a mocked node here (glibc's tc* functions go to
// the pseudo-terminal itself). A pseudo-terminal knows neither exclusive use nor modem lines, so
// those are kept here; everything else runs on the real pseudo-terminal.
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* line = static_cast<LineState*>(data);
    {
        std::lock_guard lock(line->taken_lock);
        line->taken = true;
    }
    unsigned long request = umockdev_ioctl_client_get_request(client);
    switch (request) {
        case TIOCEXCL:
        case TIOCNXCL:
            line->exclusive = request == TIOCEXCL;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC: {
            GError* error = nullptr;
            UMockdevIoctlData* bits = umockdev_ioctl_data_resolve(
                umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
            if (!bits) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            int value;
            std::memcpy(&value, bits->data, sizeof value);
            unsigned now = line->modem_bits;
            if (request == TIOCMGET) {
                value = static_cast<int>(now);
                std::memcpy(bits->data, &value, sizeof value);
            } else if (request == TIOCMSET) {
                line->modem_bits = static_cast<unsigned>(value);
            } else if (request == TIOCMBIS) {
                line->modem_bits = now | static_cast<unsigned>(value);
            } else {
                line->modem_bits = now & ~static_cast<unsigned>(value);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(bits);
            return TRUE;
        }
    }
    int error_number = 0;
    GError* error = nullptr;
    int result = umockdev_ioctl_client_execute(client, &error_number, &error);
    if (error) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EIO);
    } else {
        umockdev_ioctl_client_complete(client, result, error_number);
    }
    return TRUE;
}

// The line settings a freshly plugged serial port has: canonical input with echo, output
// post-processing, 38400 baud. umockdev leaves its pseudo-terminals raw instead.
void reset_to_cooked(int fd) {
    termios t{};
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD | HUPCL;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    t.c_cc[VINTR] = 0x03;
    t.c_cc[VQUIT] = 0x1c;
    t.c_cc[VERASE] = 0x7f;
    t.c_cc[VKILL] = 0x15;
    t.c_cc[VEOF] = 0x04;
    t.c_cc[VMIN] = 1;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VSUSP] = 0x1a;
    t.c_cc[VREPRINT] = 0x12;
    t.c_cc[VDISCARD] = 0x0f;
    t.c_cc[VWERASE] = 0x17;
    t.c_cc[VLNEXT] = 0x16;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    tcsetattr(fd, TCSANOW, &t);
}

// The kernel's uevent socket for the mocked monitors holds only net.unix.max_dgram_qlen events
// (10 by default) and umockdev's sender aborts when it is full. Raise it when we may.
void widen_event_queue() {
    std::ifstream in("/proc/sys/net/unix/max_dgram_qlen");
    int now = 0;
    if (in >> now && now >= 512) return;
    std::ofstream out("/proc/sys/net/unix/max_dgram_qlen");
    out << 512 << '\n';
}

std::string hex(unsigned value, int width, bool lower) {
    char text[16];
    std::snprintf(text, sizeof text, lower ? "%0*x" : "%0*X", width, value);
    return text;
}

std::string padded(const std::string& text, std::size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

// A NULL-terminated name/value array for umockdev_testbed_add_devicev.
class Pairs {
  public:
    Pairs& add(const std::string& name, const std::string& value) {
        text_.push_back(name);
        text_.push_back(value);
        return *this;
    }
    gchar** get() {
        pointers_.clear();
        for (std::string& t : text_)
            pointers_.push_back(t.data());
        pointers_.push_back(nullptr);
        return pointers_.data();
    }

  private:
    std::vector<std::string> text_;
    std::vector<gchar*> pointers_;
};

}  // namespace

struct Testbed::Impl {
    std::mutex mutex;
    UMockdevTestbed* bed = nullptr;
    int next_bus = 1;
    int next_tty = 0;
    int next_plain_tty = 0;
    int next_disk = 0;
    std::set<std::string> hub_ports;  // the names of the USB devices present now
    std::map<std::string, std::unique_ptr<LineState>> lines;
    std::map<std::string, int> held_slaves;  // device node -> our open slave end
    std::set<std::string> hung_up;           // ports whose line hung up
    // The slave ends of hung-up lines, kept open for good: umockdev maps each pseudo-terminal by
    // its number and never expects one to be given back, so none may be freed for reuse.
    std::vector<int> retired_slaves;

    std::string add(const char* subsystem, const std::string& name, const std::string& parent,
                    Pairs attributes, Pairs properties) {
        gchar* path = umockdev_testbed_add_devicev(bed, subsystem, name.c_str(),
                                                   parent.empty() ? nullptr : parent.c_str(),
                                                   attributes.get(), properties.get());
        if (!path) throw std::runtime_error("testbed: cannot add " + name);
        std::string out = path;
        g_free(path);
        return out;
    }

    // Takes the device at syspath out of its subsystem's class and bus listings; its own folder
    // stays.
    void unlist(const std::string& syspath) {
        gchar* root_dir = umockdev_testbed_get_root_dir(bed);
        const std::string root = root_dir;
        g_free(root_dir);
        char target[PATH_MAX];
        ssize_t length =
            readlink((root + syspath + "/subsystem").c_str(), target, sizeof target - 1);
        if (length <= 0) return;
        target[length] = '\0';
        const std::string link = target;
        const std::string subsystem = link.substr(link.rfind('/') + 1);
        const std::string name = syspath.substr(syspath.rfind('/') + 1);
        unlink((root + "/sys/class/" + subsystem + "/" + name).c_str());
        unlink((root + "/sys/bus/" + subsystem + "/devices/" + name).c_str());
    }

    std::string fresh_hub_port() {
        std::string name;
        do {
            name = "1-" + std::to_string(next_bus++);
        } while (hub_ports.count(name));
        return name;
    }

    std::string add_usb_device(const UsbPortSpec& c) {
        const std::string name = c.hub_port.empty() ? fresh_hub_port() : c.hub_port;
        if (hub_ports.count(name))
            throw std::runtime_error("testbed: hub port " + name + " is taken");
        char count[8];
        std::snprintf(count, sizeof count, "%2u", c.num_interfaces);
        Pairs attributes;
        attributes.add("idVendor", hex(c.vendor_id, 4, c.vendor_id_lower_case))
            .add("idProduct", hex(c.product_id, 4, c.vendor_id_lower_case))
            .add("bNumInterfaces", count);
        if (!c.product.empty()) attributes.add("product", c.product);
        if (!c.serial.empty()) attributes.add("serial", c.serial);
        std::string path = add("usb", name, "", attributes, Pairs().add("DEVTYPE", "usb_device"));
        hub_ports.insert(name);
        return path;
    }

    std::string add_interface(const std::string& usb, unsigned number, unsigned klass) {
        std::string name = usb.substr(usb.rfind('/') + 1) + ":1." + std::to_string(number);
        return add("usb", name, usb,
                   Pairs()
                       .add("bInterfaceNumber", hex(number, 2, true))
                       .add("bInterfaceClass", hex(klass, 2, true)),
                   Pairs().add("DEVTYPE", "usb_interface"));
    }
};

Testbed& Testbed::instance() {
    static Testbed bed;
    return bed;
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    if (!under_preload())
        throw std::runtime_error("testbed: call testbed::reexec_under_preload first in main()");
    widen_event_queue();
    impl_->bed = umockdev_testbed_new();
}

Testbed::~Testbed() {
    for (auto& [node, fd] : impl_->held_slaves)
        close(fd);
    for (int fd : impl_->retired_slaves)
        close(fd);
    g_object_unref(impl_->bed);
}

FakeDevice Testbed::add_port(const UsbPortSpec& config) {
    std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    FakeDevice device;
    const bool shared = !config.usb_device.empty();
    std::string usb = shared ? config.usb_device : d.add_usb_device(config);
    std::string interface = d.add_interface(usb, config.interface_number, 0xff);
    if (!config.driver.empty())
        umockdev_testbed_set_attribute_link(d.bed, interface.c_str(), "driver",
                                            ("../../../bus/usb/drivers/" + config.driver).c_str());
    std::string tty = "ttyUSB" + std::to_string(d.next_tty++);
    std::string serial = d.add("usb-serial", tty, interface, Pairs(), Pairs());
    device.device_node = "/dev/" + tty;

    // The handler has to be in place before the tty exists: "add" goes out at once and a
    // listening program may open the port right away.
    auto& line = d.lines[device.device_node];
    line = std::make_unique<LineState>();
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), line.get());
    GError* error = nullptr;
    bool attached =
        umockdev_testbed_attach_ioctl(d.bed, device.device_node.c_str(), handler, &error);
    g_object_unref(handler);
    if (!attached) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("testbed: cannot attach the ioctl handler: " + message);
    }

    // Only a record with an N: line gets a /dev node, backed by a pseudo-terminal.
    std::string tty_path = serial.substr(std::strlen("/sys")) + "/tty/" + tty;
    std::string record = "P: " + tty_path + "\nN: " + tty +
                         "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + device.device_node +
                         "\nE: MAJOR=188\nE: MINOR=" + std::to_string(d.next_tty - 1) +
                         "\nA: dev=188:" + std::to_string(d.next_tty - 1) + "\n";
    if (!umockdev_testbed_add_from_string(d.bed, record.c_str(), &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("testbed: cannot add " + tty + ": " + message);
    }
    device.master_fd = umockdev_testbed_get_dev_fd(d.bed, device.device_node.c_str());
    if (device.master_fd < 0) throw std::runtime_error("testbed: no pseudo-terminal for " + tty);

    // Holding the slave end open keeps the master readable-when-written instead of failing with
    // EIO while no program has the port open, as a real port's device side never notices.
    char slave[64];
    if (ptsname_r(device.master_fd, slave, sizeof slave) == 0) {
        int fd = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            std::lock_guard taken(line->taken_lock);
            if (!line->taken) reset_to_cooked(fd);
            d.held_slaves[device.device_node] = fd;
        }
    }
    // A shared USB device goes with the port that brought it.
    device.syspaths = {"/sys" + tty_path, serial, interface};
    if (!shared) device.syspaths.push_back(usb);
    return device;
}

FakeDevice Testbed::add_disk(const UsbDiskSpec& config) {
    std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    int n = d.next_disk++;
    const bool shared = !config.usb_device.empty();
    UsbPortSpec own;
    own.vendor_id = config.vendor_id;
    own.product_id = config.product_id;
    own.num_interfaces = 1;
    own.product = "Mass Storage";
    own.serial = config.serial;
    own.hub_port = config.hub_port;
    std::string usb = shared ? config.usb_device : d.add_usb_device(own);
    std::string interface = d.add_interface(usb, shared ? config.interface_number : 0, 0x08);
    std::string h = std::to_string(n + 10);
    std::string host =
        d.add("scsi", "host" + h, interface, Pairs(), Pairs().add("DEVTYPE", "scsi_host"));
    std::string target =
        d.add("scsi", "target" + h + ":0:0", host, Pairs(), Pairs().add("DEVTYPE", "scsi_target"));
    std::string scsi = d.add("scsi", h + ":0:0:0", target,
                             Pairs()
                                 .add("vendor", padded(config.vendor, 8))
                                 .add("model", padded(config.model, 16))
                                 .add("rev", padded(config.rev, 4)),
                             Pairs().add("DEVTYPE", "scsi_device"));
    std::string name = std::string("sd") + static_cast<char>('b' + n % 24);
    if (n >= 24) name += std::to_string(n / 24);
    std::string block = d.add("block", name, scsi, Pairs(),
                              Pairs().add("DEVTYPE", "disk").add("DEVNAME", "/dev/" + name));
    FakeDevice device{{block, scsi, target, host, interface}, "", -1};
    if (!shared) device.syspaths.push_back(usb);
    return device;
}

FakeDevice Testbed::add_usb_device(const UsbPortSpec& config) {
    std::lock_guard lock(impl_->mutex);
    return FakeDevice{{impl_->add_usb_device(config)}, "", -1};
}

std::string Testbed::new_hub_port() {
    std::lock_guard lock(impl_->mutex);
    return impl_->fresh_hub_port();
}

FakeDevice Testbed::add_plain_port() {
    std::lock_guard lock(impl_->mutex);
    std::string name = "ttyS" + std::to_string(impl_->next_plain_tty++);
    std::string path = impl_->add("tty", name, "", Pairs(), Pairs().add("DEVNAME", "/dev/" + name));
    return FakeDevice{{path}, "", -1};
}

FakeDevice Testbed::add_plain_disk() {
    std::lock_guard lock(impl_->mutex);
    std::string name = "sda" + std::to_string(impl_->next_disk++);
    std::string path = impl_->add("block", name, "", Pairs(),
                                  Pairs().add("DEVTYPE", "disk").add("DEVNAME", "/dev/" + name));
    return FakeDevice{{path}, "", -1};
}

void Testbed::remove(const FakeDevice& device) {
    std::lock_guard lock(impl_->mutex);
    Impl& d = *impl_;
    // A real system's device is gone from the listings before the udev daemon tells anyone of its
    // removal. umockdev needs the device's folder to send the event and takes its time removing it
    // afterwards (a fifth of a second at times, under ThreadSanitizer), so the device leaves the
    // listings first.
    for (const std::string& path : device.syspaths)
        d.unlist(path);
    // umockdev_testbed_remove_device sends nothing itself; and each child has to go explicitly, or
    // its links stay behind.
    for (const std::string& path : device.syspaths)
        umockdev_testbed_uevent(d.bed, path.c_str(), "remove");
    for (const std::string& path : device.syspaths) {
        umockdev_testbed_remove_device(d.bed, path.c_str());
        // Only USB devices are listed by name; an interface's name holds a ':'.
        d.hub_ports.erase(path.substr(path.rfind('/') + 1));
    }
    if (auto held = d.held_slaves.find(device.device_node); held != d.held_slaves.end()) {
        if (d.hung_up.erase(device.device_node)) {
            d.retired_slaves.push_back(held->second);
        } else {
            close(held->second);
        }
        d.held_slaves.erase(held);
    }
}

void Testbed::hang_up(const FakeDevice& device) {
    std::lock_guard lock(impl_->mutex);
    if (device.master_fd < 0) return;
    impl_->hung_up.insert(device.device_node);
    // The kernel hangs the line up when the last descriptor of its master side closes. umockdev
    // owns that descriptor and closes it itself at the end, so it is pointed at /dev/null instead:
    // the master goes, and the number stays umockdev's to close.
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return;
    dup3(null_fd, device.master_fd, O_CLOEXEC);
    close(null_fd);
}

unsigned Testbed::modem_lines(const std::string& device_node) {
    std::lock_guard lock(impl_->mutex);
    auto line = impl_->lines.find(device_node);
    return line == impl_->lines.end() ? 0 : line->second->modem_bits.load();
}

int Testbed::unread(const std::string& device_node) {
    std::lock_guard lock(impl_->mutex);
    auto held = impl_->held_slaves.find(device_node);
    int waiting = 0;
    // The preload answers ioctl() on anything opened below /dev itself (ENOTTY here); the system
    // call goes past it, as glibc's tc* functions do.
    if (held == impl_->held_slaves.end() ||
        syscall(SYS_ioctl, held->second, FIONREAD, &waiting) != 0)
        return -1;
    return waiting;
}

bool Testbed::exclusive(const std::string& device_node) {
    std::lock_guard lock(impl_->mutex);
    auto line = impl_->lines.find(device_node);
    return line != impl_->lines.end() && line->second->exclusive;
}

}  // namespace testbed
