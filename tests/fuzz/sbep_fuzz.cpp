// The SBEP reply parser: the input is what the radio sends back through a
// scripted cable. Layout: a count byte (1 + n % 3 requests), one byte per
// request (which request, modulo 14), a flag byte (bit 0: the cable echoes,
// bit 1: a small reply buffer), then one chunk per frame the host writes (a
// two-byte big-endian length and that many bytes), so acknowledges, frame headers, lengths,
// checksums and opcodes all come from the fuzzer.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/sbep.h"
#include "link/usb_serial.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/link/fake_cable.h"

namespace {

// Reads the input front to back; past the end it yields zeros and nothing.
class Cursor {
  public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, size_ - pos_);
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Issues request number `which`; every request type the tool sends.
void issue(vkt::SBEP& sbep, int which, std::vector<std::uint8_t>& reply) {
    std::uint8_t opcode = 0;
    std::uint32_t address = 0x820000;
    const std::array<std::uint8_t, 16> payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::array<std::uint8_t, 10> serial{'1', '2', '3', 'A', 'B', 'C', '0', '0', '0', '1'};
    switch (which) {
        case 0: sbep.readRadioInfo(0x0D, opcode, reply); break;
        case 1: sbep.statusRequest(0, opcode, reply); break;
        case 2: sbep.memRead(64, address, opcode, reply); break;
        case 3: sbep.memWrite(payload, address, opcode, reply); break;
        case 4: sbep.testModeRequest(1, 0, 0, opcode, reply); break;
        case 5: sbep.softportWrite(0x1F, 0, 0, payload, opcode, reply); break;
        case 6: sbep.factoryBlockBackup(opcode, reply); break;
        case 7: sbep.updateSN(serial, opcode, reply); break;
        case 8: sbep.protectionMode(0x1040, opcode, reply); break;
        case 9: sbep.eraseFlash(4, 0x117000, opcode, reply); break;
        case 10: sbep.readFlash(256, 0x117000, opcode, reply); break;
        case 11: sbep.writeFlash(payload, 0x117000, opcode, reply); break;
        case 12: sbep.setRadioBaudRate(vkt::kFastLineRate, 0, opcode, reply); break;
        default: sbep.detectEcho(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vkt;
    fuzz::ClearErrors clear;
    Cursor input(data, size);
    const int requests = 1 + input.byte() % 3;
    std::vector<int> which;
    for (int i = 0; i < requests; ++i)
        which.push_back(input.byte() % 14);
    const std::uint8_t flags = input.byte();
    // A small reply buffer now and then, to check that a reply longer than
    // the caller's buffer is refused rather than written past its end.
    const std::size_t replySize = (flags & 2) != 0 ? 8 : 4096;

    auto driver = std::make_shared<test::FakeDriver>();
    driver->devices.push_back({kCableDescription, {}, false, 0});
    driver->line->echo = (flags & 1) != 0;
    driver->line->onWrite = [&input](test::FakeLine& line, const std::vector<std::uint8_t>&) {
        const std::size_t high = input.byte();
        line.push(input.bytes(high << 8 | input.byte()));
    };
    USBSerial cable(driver);
    cable.setSleepFunction([](std::chrono::milliseconds) {});
    if (!cable.open(0))
        return 0;
    SBEP sbep(cable);
    std::vector<std::uint8_t> reply(replySize);
    for (int w : which)
        issue(sbep, w, reply);
    return 0;
}
