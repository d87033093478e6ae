// SBEP frame helpers shared by the protocol engine and the simulated radio.
//
// A frame is either the short form  F0+size, opcode, data..., checksum
// (size 1..14 counts the data bytes plus the checksum) or the long form
// FF, opcode, size-high, size-low, data..., checksum. The checksum is 255
// minus the low byte of the sum of every byte before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "link/sbep_protocol.h"

namespace vkt::sbep {

inline constexpr std::uint8_t kLongFormHeader = 0xFF;
inline constexpr std::size_t kReceiveBufferSize = 4109;
inline constexpr std::size_t kMaxFlashChunk = 4096;
inline constexpr std::size_t kMaxMemPayload = 200;

std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// Builds a frame for `opcode` with the given data. The short form is used
// when data.size() + 1 <= 14 and `allowShort` is set, else the long form.
std::vector<std::uint8_t> encodeFrame(std::uint8_t opcode, std::span<const std::uint8_t> data,
                                      bool allowShort = true);

// Incremental decoder of one frame (no acknowledge byte), used by the engine
// for replies and by the simulated radio for requests. Bytes below 0xF0
// where a header is expected are skipped; a size of 0, in either form, means
// the checksum follows at once. Feed bytes until done() or failed(); a frame
// with more than maxData data bytes fails.
class FrameDecoder {
  public:
    explicit FrameDecoder(std::size_t maxData = kReceiveBufferSize) : maxData_(maxData) {}

    enum class State { Header, Opcode, SizeHigh, SizeLow, Body, Done, Failed };

    // Returns the state after the byte.
    State feed(std::uint8_t byte);
    void reset();

    State state() const { return state_; }
    bool done() const { return state_ == State::Done; }
    bool failed() const { return state_ == State::Failed; }
    std::uint8_t opcode() const { return opcode_; }
    // Data bytes (between the size and the checksum).
    const std::vector<std::uint8_t>& data() const { return data_; }
    // Every byte of the frame from the header on, checksum included.
    const std::vector<std::uint8_t>& raw() const { return raw_; }

  private:
    std::size_t maxData_;
    State state_ = State::Header;
    std::uint8_t opcode_ = 0;
    std::size_t remaining_ = 0;  // data bytes + checksum still expected
    unsigned sum_ = 0;
    std::vector<std::uint8_t> data_;
    std::vector<std::uint8_t> raw_;
};

}  // namespace vkt::sbep
