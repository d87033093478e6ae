// The radio protocol's numbers, in one place: the two line rates, the
// acknowledge byte, the request and reply opcodes, and the sub-commands a
// request carries in its first data byte. The engine, the update commands
// and the simulated radio all name their numbers from here.
#pragma once

#include <array>
#include <cstdint>

namespace vkt {

// The radio's own line rate: every session starts and ends at it.
inline constexpr std::uint32_t kSlowLineRate = 16406;
// The rate flash is moved at, switched to with a soft-port request.
inline constexpr std::uint32_t kFastLineRate = 240000;

namespace sbep {

// The byte in front of every reply.
inline constexpr std::uint8_t kAck = 0x50;
// Reported as the reply opcode when the first byte was not the acknowledge.
inline constexpr std::uint8_t kNoAckOpcode = 0x60;

// Request opcodes.
inline constexpr std::uint8_t kOpStatus = 0x10;        // data: selector
inline constexpr std::uint8_t kOpMemRead = 0x11;       // count, address
inline constexpr std::uint8_t kOpMemWrite = 0x17;      // 0, address, bytes
inline constexpr std::uint8_t kOpUpdateSerial = 0x18;  // kSerialTarget, 10 characters
inline constexpr std::uint8_t kOpTestMode = 0x22;      // mode, two parameter bytes
inline constexpr std::uint8_t kOpRadioInfo = 0x23;     // item
inline constexpr std::uint8_t kOpSoftport = 0x38;      // sub-function, value, 0, flag, payload
inline constexpr std::uint8_t kOpEchoProbe = 0x40;     // no data; a radio never answers it
inline constexpr std::uint8_t kOpFlash = 0x72;         // sub-command, arguments

// Reply opcodes.
inline constexpr std::uint8_t kReplyMemData = 0x80;     // address, the bytes read
inline constexpr std::uint8_t kReplyMemWritten = 0x84;  // address
inline constexpr std::uint8_t kReplyMemOther = 0x85;    // address first, like the two above
inline constexpr std::uint8_t kReplyAccepted = 0x8C;    // test mode, soft-port, serial number
inline constexpr std::uint8_t kReplyRefused = 0x8F;     // reason byte
inline constexpr std::uint8_t kReplyStatus = 0x90;      // two status bytes
inline constexpr std::uint8_t kReplyFlashDone = 0x95;   // sub-command, 0, data read
inline constexpr std::uint8_t kReplyRadioInfo = 0xA3;   // item, 0, value

// True when the reply opcode's frame carries a 4-byte address before its data.
constexpr bool replyHasAddress(std::uint8_t opcode) {
    return opcode == kReplyMemData || opcode == kReplyMemWritten || opcode == kReplyMemOther;
}

// Sub-commands of the flash requests (kOpFlash).
inline constexpr std::uint8_t kFlashWrite = 0x01;
inline constexpr std::uint8_t kFlashRead = 0x03;
inline constexpr std::uint8_t kFlashErase4K = 0x04;   // the 4 KB sector holding the address
inline constexpr std::uint8_t kFlashErase64K = 0x06;  // sixteen 4 KB sectors from the address
inline constexpr std::uint8_t kFlashProtection = 0x08;

// Sub-functions of the soft-port requests (kOpSoftport).
inline constexpr std::uint8_t kSoftportPersonalityDone = 0x1F;  // after the personality is back
inline constexpr std::uint8_t kSoftportFactoryBackup = 0x26;
inline constexpr std::uint8_t kSoftportDefaultFollowUp = 0x27;  // after kSoftportCommitDefault
inline constexpr std::uint8_t kSoftportLineRate = 0x2A;         // '*': payload is the rate
inline constexpr std::uint8_t kSoftportCommitDefault = 0x2E;    // '.': a new default block
// The value of kSoftportPersonalityDone.
inline constexpr std::uint8_t kPersonalityDoneValue = 0x0A;

// Items of the identity request (kOpRadioInfo).
inline constexpr std::uint8_t kItemModel = 0;
inline constexpr std::uint8_t kItemSerial = 1;
inline constexpr std::uint8_t kItemFirmware = 3;
inline constexpr std::uint8_t kItemCodeplug = 4;

// Selectors of the status request (kOpStatus).
inline constexpr std::uint8_t kStatusFlags = 0;  // byte 1: the radio's flags
inline constexpr std::uint8_t kStatusWord = 1;   // a 16-bit status word
// Bit of the status flags with which the radio refuses a new serial number.
inline constexpr std::uint8_t kFlagSerialLocked = 0x02;
// Bits of the status word after flash work: any of these says the radio
// did not take what was written.
inline constexpr std::uint16_t kStatusWordFlashFailed = 0x0280;
// Bit of the status word set when the radio needs no kSoftportDefaultFollowUp
// after a new default block.
inline constexpr std::uint16_t kStatusWordDefaultSettled = 0x0040;

// Modes of the test-mode request (kOpTestMode).
inline constexpr std::uint8_t kTestModeWrite = 1;      // before memory writes and commits
inline constexpr std::uint8_t kTestModeRadioType = 8;  // reply byte 1: the radio type

// The two bytes in front of the serial number of kOpUpdateSerial.
inline constexpr std::array<std::uint8_t, 2> kSerialTarget = {0x01, 0x01};

}  // namespace sbep
}  // namespace vkt
