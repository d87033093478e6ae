#include "cable_bed.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/pty_rate.h"
#include "sim/pty_server.h"

namespace vkt::umock {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHostController = "/sys/devices/pci0000:00/0000:00:14.0";

std::string threeDigits(std::size_t n) {
    char text[8];
    std::snprintf(text, sizeof text, "%03zu", n);
    return text;
}

void createEmptyFile(const std::string& path) {
    const std::ofstream file(path);
}

// umockdev_testbed_add_devicev() with attribute and property lists; sysfs
// attributes end with a newline, as the kernel writes them.
std::string addDevice(UMockdevTestbed* bed, const char* subsystem, const std::string& name,
                      const std::string& parent,
                      const std::vector<std::pair<std::string, std::string>>& attributes,
                      const std::vector<std::pair<std::string, std::string>>& properties) {
    // umockdev takes NULL-terminated lists of alternating names and values.
    std::vector<std::string> a;
    a.reserve(2 * attributes.size());
    for (const auto& [key, value] : attributes) {
        a.push_back(key);
        a.push_back(key == "dev" ? value : value + "\n");
    }
    std::vector<std::string> p;
    p.reserve(2 * properties.size());
    for (const auto& [key, value] : properties) {
        p.push_back(key);
        p.push_back(value);
    }
    const auto terminated = [](std::vector<std::string>& texts) {
        std::vector<gchar*> list;
        list.reserve(texts.size() + 1);
        for (auto& t : texts)
            list.push_back(t.data());
        list.push_back(nullptr);
        return list;
    };
    auto av = terminated(a);
    auto pv = terminated(p);
    gchar* path = umockdev_testbed_add_devicev(bed, subsystem, name.c_str(),
                                               parent.empty() ? nullptr : parent.c_str(), av.data(),
                                               pv.data());
    std::string result = path ? path : "";
    g_free(path);
    return result;
}

// Whether umockdev's preload library is mapped into this process (the
// library's own test for it does not see the library that umockdev-wrapper
// preloads).
bool preloadActive() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

struct CableBed::Cable {
    std::size_t number = 0;
    CableDescription description;
    std::string usbPath, interfacePath, portPath, ttyPath;
    std::shared_ptr<Ft232rChip> chip;
    std::unique_ptr<UsbfsDevice> usb;
    bool ttyPresent = false;
    bool pulled = false;
    // The tty's other side and the thread that serves the radio on it.
    UMockdevIoctlBase* ttyIoctls = nullptr;
    std::atomic<bool> lowLatency{false};
    int master = -1;
    int stop = -1;
    std::thread server;

    ~Cable() {
        if (ttyIoctls) {
            g_signal_handlers_disconnect_by_data(ttyIoctls, this);
            g_object_unref(ttyIoctls);
        }
    }
    std::string ttyName() const { return "ttyUSB" + std::to_string(number); }
    std::size_t address() const { return number + 2; }
    std::string usbNode() const { return "/dev/bus/usb/001/" + threeDigits(address()); }
};

namespace {

// The ioctls of a cable's tty node. A bed's device nodes answer none by
// themselves, so termios and the rest run on the pseudo-terminal behind the
// node; the serial-port information calls are answered as the kernel's FTDI
// driver answers them (a pseudo-terminal has none), and low latency is
// noted.
int ttyIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* data) {
    auto* cable = static_cast<CableBed::Cable*>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        GError* error = nullptr;
        UMockdevIoctlData* arg = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(serial_struct), &error);
        if (error)
            g_error_free(error);
        if (!arg) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* serial = reinterpret_cast<serial_struct*>(arg->data);
        if (request == TIOCSSERIAL) {
            cable->lowLatency = (serial->flags & ASYNC_LOW_LATENCY) != 0;
        } else {
            std::memset(serial, 0, sizeof *serial);
            serial->type = PORT_16550A;
            serial->line = static_cast<int>(cable->number);
            serial->baud_base = 24000000;
            serial->flags = ASYNC_SKIP_TEST | (cable->lowLatency ? ASYNC_LOW_LATENCY : 0);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    int error = 0;
    GError* failure = nullptr;
    const int result = umockdev_ioctl_client_execute(client, &error, &failure);
    if (failure)
        g_error_free(failure);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

}  // namespace

bool CableBed::usable(std::string& why) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    why = "umockdev's preload library cannot be combined with a sanitizer build";
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    why = "umockdev's preload library cannot be combined with a sanitizer build";
    return false;
#endif
#endif
    if (!preloadActive()) {
        why = "not running under umockdev's preload library (start the test with umockdev-wrapper)";
        return false;
    }
    return true;
}

CableBed::CableBed() : bed_(umockdev_testbed_new()) {
    // The root hub: keeps /dev/bus/usb in the bed when every cable is gone,
    // so libusb never looks at the machine's real USB devices.
    std::vector<std::uint8_t> hub = {18,   1,    0x00, 0x02, 9,    0, 1, 64,   0x6b,
                                     0x1d, 0x02, 0x00, 0x00, 0x06, 3, 2, 1,    1,  // device
                                     9,    2,    25,   0,    1,    1, 0, 0xE0, 0,  // config
                                     9,    4,    0,    0,    1,    9, 0, 0,    0,  // hub
                                     7,    5,    0x81, 3,    4,    0, 12};         // status
    const std::string path =
        addDevice(bed_, "usb", std::string(kHostController).substr(13) + "/usb1", "",
                  {{"idVendor", "1d6b"},
                   {"idProduct", "0002"},
                   {"busnum", "1"},
                   {"devnum", "1"},
                   {"speed", "480"},
                   {"bConfigurationValue", "1"},
                   {"bNumConfigurations", "1"},
                   {"product", "xHCI Host Controller"},
                   {"maxchild", "4"},
                   {"dev", "189:0"}},
                  {{"DEVTYPE", "usb_device"},
                   {"DEVNAME", "/dev/bus/usb/001/001"},
                   {"BUSNUM", "001"},
                   {"DEVNUM", "001"}});
    umockdev_testbed_set_attribute_binary(bed_, path.c_str(), "descriptors", hub.data(),
                                          static_cast<gint>(hub.size()));
    fs::create_directories(root() + "/dev/bus/usb/001");
    createEmptyFile(root() + "/dev/bus/usb/001/001");
}

CableBed::~CableBed() {
    {
        std::lock_guard lock(mutex_);
        for (auto& c : cables_) {
            if (c->ttyPresent)
                removeTty(*c);
        }
    }
    // The device emulations go before the bed that calls into them.
    cables_.clear();
    g_object_unref(bed_);
}

std::string CableBed::root() const {
    gchar* dir = umockdev_testbed_get_root_dir(bed_);
    std::string r = dir ? dir : "";
    g_free(dir);
    return r;
}

std::size_t CableBed::plug(CableDescription description) {
    std::lock_guard lock(mutex_);
    auto cable = std::make_unique<Cable>();
    Cable& c = *cable;
    c.number = cables_.size();
    c.description = std::move(description);
    c.chip = std::make_shared<Ft232rChip>(
        Ft232rStrings{"FTDI", c.description.product, c.description.serial}, c.description.radio);
    UsbfsDevice::DriverHooks hooks;
    hooks.detached = [this, &c] {
        std::lock_guard l(mutex_);
        if (!c.pulled && c.ttyPresent)
            removeTty(c);
    };
    hooks.attached = [this, &c] {
        std::lock_guard l(mutex_);
        if (!c.pulled && !c.ttyPresent)
            addTty(c);
    };
    c.usb = std::make_unique<UsbfsDevice>(c.chip, std::move(hooks));
    cables_.push_back(std::move(cable));
    addUsbDevice(c);
    c.ttyIoctls = umockdev_ioctl_base_new();
    g_signal_connect(c.ttyIoctls, "handle-ioctl", G_CALLBACK(&ttyIoctl), &c);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed_, ("/dev/" + c.ttyName()).c_str(), c.ttyIoctls,
                                       &error)) {
        std::fprintf(stderr, "cable bed: %s\n", error ? error->message : "tty ioctls");
        if (error)
            g_error_free(error);
    }
    addTty(c);
    return c.number;
}

void CableBed::addUsbDevice(Cable& c) {
    const std::string port = std::to_string(c.number + 1);
    const std::string address = std::to_string(c.address());
    c.usbPath = addDevice(bed_, "usb", "1-" + port, std::string(kHostController) + "/usb1",
                          {{"idVendor", "0403"},
                           {"idProduct", "6001"},
                           {"bcdDevice", "0600"},
                           {"manufacturer", "FTDI"},
                           {"product", c.description.product},
                           {"serial", c.description.serial},
                           {"busnum", "1"},
                           {"devnum", address},
                           {"devpath", port},
                           {"speed", "12"},
                           {"version", " 2.00"},
                           {"maxchild", "0"},
                           {"bConfigurationValue", "1"},
                           {"bNumConfigurations", "1"},
                           {"bNumInterfaces", " 1"},
                           {"bMaxPacketSize0", "8"},
                           {"dev", "189:" + std::to_string(c.address() - 1)}},
                          {{"DEVTYPE", "usb_device"},
                           {"DRIVER", "usb"},
                           {"DEVNAME", c.usbNode()},
                           {"BUSNUM", "001"},
                           {"DEVNUM", threeDigits(c.address())},
                           {"PRODUCT", "403/6001/600"},
                           {"TYPE", "0/0/0"}});
    auto descriptors = c.chip->descriptors();
    umockdev_testbed_set_attribute_binary(bed_, c.usbPath.c_str(), "descriptors",
                                          descriptors.data(),
                                          static_cast<gint>(descriptors.size()));
    // usbfs nodes are plain files in a bed; the ioctls go to the emulation.
    createEmptyFile(root() + c.usbNode());
    std::string error;
    if (!c.usb->attach(bed_, c.usbNode(), error))
        std::fprintf(stderr, "cable bed: %s\n", error.c_str());
    c.interfacePath = addDevice(bed_, "usb", "1-" + port + ":1.0", c.usbPath,
                                {{"bInterfaceNumber", "00"},
                                 {"bAlternateSetting", " 0"},
                                 {"bNumEndpoints", "02"},
                                 {"bInterfaceClass", "ff"},
                                 {"bInterfaceSubClass", "ff"},
                                 {"bInterfaceProtocol", "ff"},
                                 {"interface", c.description.product}},
                                {{"DEVTYPE", "usb_interface"},
                                 {"DRIVER", "ftdi_sio"},
                                 {"PRODUCT", "403/6001/600"},
                                 {"INTERFACE", "255/255/255"}});
}

void CableBed::addTty(Cable& c) {
    const std::string name = c.ttyName();
    c.portPath =
        addDevice(bed_, "usb-serial", name, c.interfacePath,
                  {{"latency_timer", "16"}, {"port_number", "0"}}, {{"DRIVER", "ftdi_sio"}});
    c.ttyPath = addDevice(
        bed_, "tty", "tty/" + name, c.portPath, {{"dev", "188:" + std::to_string(c.number)}},
        {{"DEVNAME", "/dev/" + name}, {"MAJOR", "188"}, {"MINOR", std::to_string(c.number)}});
    umockdev_testbed_set_attribute_link(bed_, c.ttyPath.c_str(), "device",
                                        ("../../../" + name).c_str());
    // The node is a pseudo-terminal, as umockdev makes its tty nodes; the
    // bed keeps the master side to serve the radio and to hang up on a pull.
    c.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (c.master < 0 || grantpt(c.master) != 0 || unlockpt(c.master) != 0) {
        std::perror("cable bed: pseudo-terminal");
        return;
    }
    const std::string slave = ptsname(c.master);
    {
        // Raw and at the radio's rate, so a host that sets nothing matches it.
        // The slave is reached through the master: opened by its /dev path
        // here, umockdev would route its ioctls to the bed.
        const int s = ioctl(c.master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        tcgetattr(s, &tio);
        cfmakeraw(&tio);
        tcsetattr(s, TCSANOW, &tio);
        sim::setTerminalRate(s, kSlowLineRate);
        ::close(s);
    }
    fs::create_symlink(slave, root() + "/dev/" + name);
    c.ttyPresent = true;
    if (c.description.radio) {
        c.stop = eventfd(0, EFD_CLOEXEC);
        c.server = std::thread([radio = c.description.radio, master = c.master, stop = c.stop] {
            sim::PtyRadioServer server(*radio, master);
            server.run(stop);
        });
    }
}

void CableBed::removeTty(Cable& c) {
    if (c.server.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(c.stop, &one, sizeof one);
        c.server.join();
        ::close(c.stop);
        c.stop = -1;
    }
    // Closing the master hangs the tty up: the host's next call fails.
    if (c.master >= 0)
        ::close(c.master);
    c.master = -1;
    removeDevice(c.ttyPath);
    removeDevice(c.portPath);
    c.ttyPresent = false;
}

void CableBed::removeDevice(const std::string& syspath) {
    umockdev_testbed_uevent(bed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bed_, syspath.c_str());
}

void CableBed::pull(std::size_t n) {
    std::lock_guard lock(mutex_);
    Cable& c = *cables_.at(n);
    if (c.pulled)
        return;
    c.pulled = true;
    c.usb->disconnect();
    if (c.ttyPresent)
        removeTty(c);
    removeDevice(c.interfacePath);
    removeDevice(c.usbPath);
}

std::string CableBed::ttyNode(std::size_t n) const {
    return "/dev/ttyUSB" + std::to_string(n);
}

std::string CableBed::usbNode(std::size_t n) const {
    std::lock_guard lock(mutex_);
    return cables_.at(n)->usbNode();
}

std::string CableBed::usbSysfs(std::size_t n) const {
    std::lock_guard lock(mutex_);
    return cables_.at(n)->usbPath;
}

bool CableBed::ttyPresent(std::size_t n) const {
    std::lock_guard lock(mutex_);
    return cables_.at(n)->ttyPresent;
}

std::string CableBed::ttyLatencyTimer(std::size_t n) const {
    std::lock_guard lock(mutex_);
    std::ifstream in(root() + cables_.at(n)->portPath + "/latency_timer");
    std::string value;
    std::getline(in, value);
    return value;
}

bool CableBed::ttyLowLatency(std::size_t n) const {
    std::lock_guard lock(mutex_);
    return cables_.at(n)->lowLatency;
}

Ft232rChip& CableBed::chip(std::size_t n) {
    std::lock_guard lock(mutex_);
    return *cables_.at(n)->chip;
}

UsbfsDevice& CableBed::usb(std::size_t n) {
    std::lock_guard lock(mutex_);
    return *cables_.at(n)->usb;
}

}  // namespace vkt::umock
