#include "usbfs_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vkt::umock {
namespace {

// A reap that finds nothing waits this long for a transfer to finish before
// it answers EAGAIN. The device node is a plain file, so the host's poll()
// never waits and libusb asks again at once; the wait keeps that loop from
// spinning without delaying any completion (a finished transfer answers a
// waiting reap at once).
constexpr auto kReapWait = std::chrono::milliseconds(5);

constexpr const char* kSerialDriver = "ftdi_sio";

UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error)
        g_error_free(error);
    return child;
}

}  // namespace

struct UsbfsDevice::Urb {
    std::uint64_t transfer = 0;
    UMockdevIoctlData* urbData = nullptr;  // holds a reference
    UMockdevIoctlData* buffer = nullptr;   // a child of urbData
    gulong clientAddress = 0;
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::size_t length = 0;

    usbdevfs_urb& fields() { return *reinterpret_cast<usbdevfs_urb*>(urbData->data); }
    ~Urb() {
        if (urbData)
            g_object_unref(urbData);
    }
};

struct UsbfsDevice::Client {
    std::deque<std::unique_ptr<Urb>> inFlight;
    std::deque<std::unique_ptr<Urb>> done;
    bool lastReapDelivered = false;
};

// A reap that waits. It holds a reference to its client: umockdev keeps
// a client only while one of its requests is being handled, and this one
// is answered later, from the ticker thread.
struct UsbfsDevice::ParkedReap {
    UMockdevIoctlClient* client = nullptr;
    GMainContext* context = nullptr;       // the bed's ioctl thread
    UMockdevIoctlData* pointer = nullptr;  // the host's `void*` that receives the URB
    Clock::time_point deadline;
    bool forever = false;  // REAPURB: waits until a URB is finished

    ParkedReap(UMockdevIoctlClient* c, UMockdevIoctlData* p)
        : client(static_cast<UMockdevIoctlClient*>(g_object_ref(c))),
          context(g_main_context_ref_thread_default()),
          pointer(p) {}
    ~ParkedReap() {
        // umockdev finishes an answer on its own thread after complete()
        // returns: the reference goes once that has run.
        g_main_context_invoke_full(
            context, G_PRIORITY_LOW,
            [](gpointer c) {
                g_object_unref(c);
                return G_SOURCE_REMOVE;
            },
            client, nullptr);
        g_main_context_unref(context);
    }
    ParkedReap(const ParkedReap&) = delete;
    ParkedReap& operator=(const ParkedReap&) = delete;
};

UsbfsDevice::UsbfsDevice(std::shared_ptr<Ft232rChip> chip, DriverHooks hooks)
    : chip_(std::move(chip)), hooks_(std::move(hooks)) {
    ticker_ = std::thread([this] { ticker(); });
}

UsbfsDevice::~UsbfsDevice() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    if (handler_) {
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
    }
}

bool UsbfsDevice::attach(UMockdevTestbed* bed, const std::string& devnode, std::string& error) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsDevice::onIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UsbfsDevice::onVanished), this);
    GError* e = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed, devnode.c_str(), handler_, &e)) {
        error = e ? e->message : "umockdev_testbed_attach_ioctl failed";
        if (e)
            g_error_free(e);
        return false;
    }
    return true;
}

bool UsbfsDevice::driverBound() const {
    std::lock_guard lock(mutex_);
    return driver_ == Driver::Serial;
}

std::vector<std::string> UsbfsDevice::interfaceEvents() const {
    std::lock_guard lock(mutex_);
    return events_;
}

int UsbfsDevice::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* device = static_cast<UsbfsDevice*>(self);
    const Answer a = device->handle(client, umockdev_ioctl_client_get_request(client));
    if (!a.parked)
        umockdev_ioctl_client_complete(client, a.result, a.error);
    return TRUE;
}

void UsbfsDevice::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* device = static_cast<UsbfsDevice*>(self);
    std::lock_guard lock(device->mutex_);
    // Closing the file releases what it claimed; the driver stays detached.
    if (device->claimedBy_ == client) {
        device->claimedBy_ = nullptr;
        device->driver_ = Driver::None;
        device->events_.push_back("release");
    }
    std::erase_if(device->parked_, [&](const auto& p) { return p->client == client; });
    device->clients_.erase(client);
}

UsbfsDevice::Answer UsbfsDevice::handle(UMockdevIoctlClient* client, unsigned long request) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard lock(mutex_);
        clients_.try_emplace(client, std::make_unique<Client>());
        // Finished URBs can still be reaped after an unplug; nothing else works.
        const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        if (disconnected_ && !reaping)
            return {-1, ENODEV};
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = resolve(arg, 0, sizeof(std::uint32_t));
            if (!caps)
                return {-1, EFAULT};
            const std::uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            return {0, 0};
        }
        case USBDEVFS_SUBMITURB:
            return submit(client);
        case USBDEVFS_REAPURB:
            return reap(client, true);
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, false);
        case USBDEVFS_DISCARDURB:
            return discard(client);
        case USBDEVFS_CONTROL:
            return control(client);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* number = resolve(arg, 0, sizeof(unsigned));
            if (!number)
                return {-1, EFAULT};
            unsigned n = 0;
            std::memcpy(&n, number->data, sizeof n);
            return request == USBDEVFS_CLAIMINTERFACE ? claim(client, n) : release(client, n);
        }
        case USBDEVFS_GETDRIVER:
            return getDriver(client);
        case USBDEVFS_IOCTL:
            return driverIoctl(client);
        case USBDEVFS_DISCONNECT_CLAIM:
            return disconnectClaim(client);
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            return {0, 0};
        default:
            return {-1, ENOTTY};
    }
}

UsbfsDevice::Answer UsbfsDevice::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData)
        return {-1, EFAULT};
    auto urb = std::make_unique<Urb>();
    urb->urbData = static_cast<UMockdevIoctlData*>(g_object_ref(urbData));
    urb->clientAddress = urbData->client_addr;
    const usbdevfs_urb& f = urb->fields();
    urb->type = f.type;
    urb->endpoint = f.endpoint;
    if (f.buffer_length < 0)
        return {-1, EINVAL};
    urb->length = static_cast<std::size_t>(f.buffer_length);
    if (urb->length > 0) {
        urb->buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->length);
        if (!urb->buffer)
            return {-1, EFAULT};
    }
    const bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0;
    const bool bulkIn =
        urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == Ft232rChip::kInEndpoint;
    const bool bulkOut =
        urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == Ft232rChip::kOutEndpoint;
    if (!control && !bulkIn && !bulkOut)
        return {-1, ENOENT};  // no such endpoint
    if (control && urb->length < 8)
        return {-1, EINVAL};

    std::unique_lock lock(mutex_);
    if (!control && claimedBy_ != client) {
        // Like usbfs: a free interface is claimed on first use; one that a
        // driver (or another file) holds is busy.
        if (driver_ != Driver::None)
            return {-1, EBUSY};
        driver_ = Driver::Usbfs;
        claimedBy_ = client;
        events_.push_back("claim");
    }
    urb->transfer = nextTransfer_++;
    Client& c = *clients_[client];
    if (control) {
        lock.unlock();
        runControl(*urb);
        lock.lock();
        c.done.push_back(std::move(urb));
    } else if (bulkOut) {
        chip_->bulkOut({urb->buffer->data, urb->length});
        finish(*urb, 0, {});
        urb->fields().actual_length = static_cast<int>(urb->length);
        c.done.push_back(std::move(urb));
    } else {
        c.inFlight.push_back(std::move(urb));
    }
    lock.unlock();
    wake_.notify_all();
    return {0, 0};
}

void UsbfsDevice::runControl(Urb& urb) {
    const std::uint8_t* b = urb.buffer->data;
    UsbSetup setup;
    setup.requestType = b[0];
    setup.request = b[1];
    setup.value = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
    setup.index = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
    setup.length = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
    const std::size_t room = std::min<std::size_t>(setup.length, urb.length - 8);
    std::vector<std::uint8_t> in;
    const bool toHost = (setup.requestType & 0x80) != 0;
    const bool ok = chip_->control(
        setup,
        toHost ? std::span<const std::uint8_t>{} : std::span<const std::uint8_t>{b + 8, room}, in);
    if (!ok) {
        finish(urb, -EPIPE, {});
        return;
    }
    in.resize(std::min(in.size(), room));
    std::copy(in.begin(), in.end(), urb.buffer->data + 8);
    urb.fields().status = 0;
    urb.fields().actual_length = static_cast<int>(toHost ? in.size() : room);
}

void UsbfsDevice::finish(Urb& urb, int status, const std::vector<std::uint8_t>& data) {
    const std::size_t n = std::min(data.size(), urb.length);
    if (n > 0)
        std::copy_n(data.begin(), n, urb.buffer->data);
    urb.fields().status = status;
    urb.fields().actual_length = static_cast<int>(n);
}

void UsbfsDevice::advance(Clock::time_point now) {
    // The chip fills one IN transfer at a time: the oldest one.
    for (auto& [client, c] : clients_) {
        if (c->inFlight.empty())
            continue;
        Urb& urb = *c->inFlight.front();
        std::vector<std::uint8_t> data;
        if (chip_->pollIn(urb.transfer, urb.length, now, data)) {
            finish(urb, 0, data);
            c->done.push_back(std::move(c->inFlight.front()));
            c->inFlight.pop_front();
        }
        return;
    }
}

bool UsbfsDevice::deliver(ParkedReap& parked) {
    Client& c = *clients_[parked.client];
    if (c.done.empty())
        return false;
    std::unique_ptr<Urb> urb = std::move(c.done.front());
    c.done.pop_front();
    umockdev_ioctl_data_set_ptr(parked.pointer, 0, urb->urbData);
    c.lastReapDelivered = true;
    umockdev_ioctl_client_complete(parked.client, 0, 0);
    return true;
}

UsbfsDevice::Answer UsbfsDevice::reap(UMockdevIoctlClient* client, bool wait) {
    UMockdevIoctlData* pointer = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    if (!pointer)
        return {-1, EFAULT};
    std::unique_lock lock(mutex_);
    const auto now = Clock::now();
    advance(now);
    Client& c = *clients_[client];
    if (!c.done.empty()) {
        ParkedReap answer(client, pointer);
        deliver(answer);
        return {0, 0, true};
    }
    if (disconnected_)
        return {-1, ENODEV};
    // Right after a delivered URB libusb asks once more to drain the list:
    // answer that at once, so the finished transfer reaches its caller.
    if (!wait && c.lastReapDelivered) {
        c.lastReapDelivered = false;
        return {-1, EAGAIN};
    }
    auto parked = std::make_unique<ParkedReap>(client, pointer);
    parked->deadline = now + kReapWait;
    parked->forever = wait;
    parked_.push_back(std::move(parked));
    lock.unlock();
    wake_.notify_all();
    return {0, 0, true};
}

UsbfsDevice::Answer UsbfsDevice::discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::unique_lock lock(mutex_);
    Client& c = *clients_[client];
    for (auto it = c.inFlight.begin(); it != c.inFlight.end(); ++it) {
        if ((*it)->clientAddress != address)
            continue;
        finish(**it, -ENOENT, chip_->cancelIn((*it)->transfer));
        c.done.push_back(std::move(*it));
        c.inFlight.erase(it);
        lock.unlock();
        wake_.notify_all();
        return {0, 0};
    }
    return {-1, EINVAL};  // already finished
}

UsbfsDevice::Answer UsbfsDevice::control(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* ctrl = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!ctrl)
        return {-1, EFAULT};
    usbdevfs_ctrltransfer t{};
    std::memcpy(&t, ctrl->data, sizeof t);
    UMockdevIoctlData* data =
        t.wLength ? resolve(ctrl, offsetof(usbdevfs_ctrltransfer, data), t.wLength) : nullptr;
    if (t.wLength && !data)
        return {-1, EFAULT};
    const UsbSetup setup{t.bRequestType, t.bRequest, t.wValue, t.wIndex, t.wLength};
    const bool toHost = (t.bRequestType & 0x80) != 0;
    std::vector<std::uint8_t> in;
    std::span<const std::uint8_t> out;
    if (!toHost && data)
        out = {data->data, t.wLength};
    if (!chip_->control(setup, out, in))
        return {-1, EPIPE};
    if (!toHost)
        return {t.wLength, 0};
    if (data)
        std::copy(in.begin(), in.end(), data->data);
    return {static_cast<long>(in.size()), 0};
}

UsbfsDevice::Answer UsbfsDevice::claim(UMockdevIoctlClient* client, unsigned interfaceNumber) {
    std::lock_guard lock(mutex_);
    if (interfaceNumber != 0)
        return {-1, ENOENT};
    if (claimedBy_ == client)
        return {0, 0};
    if (driver_ != Driver::None)
        return {-1, EBUSY};
    driver_ = Driver::Usbfs;
    claimedBy_ = client;
    events_.push_back("claim");
    return {0, 0};
}

UsbfsDevice::Answer UsbfsDevice::release(UMockdevIoctlClient* client, unsigned interfaceNumber) {
    std::lock_guard lock(mutex_);
    if (interfaceNumber != 0 || claimedBy_ != client)
        return {-1, EINVAL};
    driver_ = Driver::None;
    claimedBy_ = nullptr;
    events_.push_back("release");
    return {0, 0};
}

UsbfsDevice::Answer UsbfsDevice::getDriver(UMockdevIoctlClient* client) {
    UMockdevIoctlData* d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_getdriver));
    if (!d)
        return {-1, EFAULT};
    auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
    std::lock_guard lock(mutex_);
    if (g->interface != 0)
        return {-1, EINVAL};
    if (driver_ == Driver::None)
        return {-1, ENODATA};
    std::snprintf(g->driver, sizeof g->driver, "%s",
                  driver_ == Driver::Serial ? kSerialDriver : "usbfs");
    return {0, 0};
}

UsbfsDevice::Answer UsbfsDevice::driverIoctl(UMockdevIoctlClient* client) {
    UMockdevIoctlData* d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ioctl));
    if (!d)
        return {-1, EFAULT};
    usbdevfs_ioctl command{};
    std::memcpy(&command, d->data, sizeof command);
    if (command.ifno != 0)
        return {-1, EINVAL};
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (driver_ != Driver::Serial)
                return {-1, ENODATA};
            driver_ = Driver::None;
            events_.push_back("detach");
            hook = hooks_.detached;
        } else if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            if (driver_ == Driver::Usbfs)
                return {-1, EBUSY};
            if (driver_ == Driver::None) {
                driver_ = Driver::Serial;
                events_.push_back("attach");
                hook = hooks_.attached;
            }
        } else {
            return {-1, ENOTTY};
        }
    }
    if (hook)
        hook();
    return {0, 0};
}

UsbfsDevice::Answer UsbfsDevice::disconnectClaim(UMockdevIoctlClient* client) {
    UMockdevIoctlData* d =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_disconnect_claim));
    if (!d)
        return {-1, EFAULT};
    usbdevfs_disconnect_claim dc{};
    std::memcpy(&dc, d->data, sizeof dc);
    if (dc.interface != 0)
        return {-1, ENOENT};
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        if (driver_ == Driver::Usbfs)
            return {-1, claimedBy_ == client ? 0 : EBUSY};
        if (driver_ == Driver::Serial) {
            const std::string name = dc.driver;
            const bool except = (dc.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0;
            const bool only = (dc.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0;
            if ((except && name == kSerialDriver) || (only && name != kSerialDriver))
                return {-1, EBUSY};
            events_.push_back("detach");
            hook = hooks_.detached;
        }
        driver_ = Driver::Usbfs;
        claimedBy_ = client;
        events_.push_back("claim");
    }
    if (hook)
        hook();
    return {0, 0};
}

void UsbfsDevice::disconnect() {
    {
        std::lock_guard lock(mutex_);
        disconnected_ = true;
        // The kernel ends every transfer in flight; they can still be reaped.
        for (auto& [client, c] : clients_) {
            for (auto& urb : c->inFlight) {
                finish(*urb, -ESHUTDOWN, chip_->cancelIn(urb->transfer));
                c->done.push_back(std::move(urb));
            }
            c->inFlight.clear();
        }
    }
    wake_.notify_all();
}

void UsbfsDevice::ticker() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const auto now = Clock::now();
        advance(now);
        std::optional<Clock::time_point> next;
        for (auto it = parked_.begin(); it != parked_.end();) {
            ParkedReap& p = **it;
            if (deliver(p)) {
                it = parked_.erase(it);
            } else if (disconnected_ || (!p.forever && now >= p.deadline)) {
                umockdev_ioctl_client_complete(p.client, -1, disconnected_ ? ENODEV : EAGAIN);
                it = parked_.erase(it);
            } else {
                if (!p.forever)
                    next = next ? std::min(*next, p.deadline) : p.deadline;
                ++it;
            }
        }
        const bool inFlight = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) {
            return !c.second->inFlight.empty();
        });
        if (!parked_.empty() && inFlight) {
            // A waiting reap is answered as soon as the chip completes a transfer.
            const auto in = chip_->nextInEvent();
            next = next ? std::min(*next, in) : in;
        }
        if (next)
            wake_.wait_until(lock, std::max(*next, now + std::chrono::microseconds(100)));
        else
            wake_.wait(lock);
    }
    // Nobody may stay blocked in a reap.
    for (auto& p : parked_)
        umockdev_ioctl_client_complete(p->client, -1, ENODEV);
    parked_.clear();
}

}  // namespace vkt::umock
