#include "link/sbep_frame.h"

#include <algorithm>

namespace vkt::sbep {

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(255 - (sum & 0xFF));
}

std::vector<std::uint8_t> encodeFrame(std::uint8_t opcode, std::span<const std::uint8_t> data,
                                      bool allowShort) {
    std::vector<std::uint8_t> frame;
    const std::size_t size = data.size() + 1;  // data plus checksum
    if (allowShort && size <= 14) {
        frame.reserve(size + 2);
        frame.push_back(static_cast<std::uint8_t>(0xF0 + size));
        frame.push_back(opcode);
    } else {
        frame.reserve(size + 4);
        frame.push_back(kLongFormHeader);
        frame.push_back(opcode);
        frame.push_back(static_cast<std::uint8_t>((size >> 8) & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(size & 0xFF));
    }
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(checksum(frame));
    return frame;
}

void FrameDecoder::reset() {
    state_ = State::Header;
    opcode_ = 0;
    remaining_ = 0;
    sum_ = 0;
    data_.clear();
    raw_.clear();
}

FrameDecoder::State FrameDecoder::feed(std::uint8_t byte) {
    switch (state_) {
        case State::Header:
            if (byte < 0xF0)
                return state_;  // not a header: skipped
            raw_.push_back(byte);
            sum_ = byte;
            if (byte == kLongFormHeader) {
                state_ = State::Opcode;
                remaining_ = SIZE_MAX;  // set by the size bytes
            } else {
                // A size of 0 means the checksum follows at once.
                remaining_ = std::max<std::size_t>(byte & 0x0F, 1);
                state_ = State::Opcode;
            }
            return state_;
        case State::Opcode:
            raw_.push_back(byte);
            sum_ += byte;
            opcode_ = byte;
            state_ = remaining_ == SIZE_MAX ? State::SizeHigh : State::Body;
            return state_;
        case State::SizeHigh:
            raw_.push_back(byte);
            sum_ += byte;
            remaining_ = static_cast<std::size_t>(byte) << 8;
            state_ = State::SizeLow;
            return state_;
        case State::SizeLow:
            raw_.push_back(byte);
            sum_ += byte;
            remaining_ |= byte;
            // A size of 0 means the checksum follows at once.
            if (remaining_ == 0)
                remaining_ = 1;
            if (remaining_ - 1 > maxData_) {
                state_ = State::Failed;
                return state_;
            }
            data_.reserve(remaining_ - 1);
            state_ = State::Body;
            return state_;
        case State::Body:
            raw_.push_back(byte);
            if (remaining_ == 1) {
                state_ = (byte == static_cast<std::uint8_t>(255 - (sum_ & 0xFF))) ? State::Done
                                                                                  : State::Failed;
                return state_;
            }
            if (data_.size() >= maxData_) {
                state_ = State::Failed;
                return state_;
            }
            sum_ += byte;
            data_.push_back(byte);
            --remaining_;
            return state_;
        case State::Done:
        case State::Failed:
            return state_;
    }
    return state_;
}

}  // namespace vkt::sbep
