// SBEP: the radio's request/reply protocol over the programming cable. The
// engine frames requests, writes them with retries, swallows the cable's
// echo, waits for the acknowledge byte and parses the checksummed reply; the
// requests below are each one such exchange, retried and judged by the reply
// opcode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/sbep_frame.h"
#include "link/usb_serial.h"

namespace vkt {

// Largest soft-port payload: its frame carries the size in one byte.
inline constexpr std::size_t kMaxSoftportPayload = 250;

// Whether a memory reply (memRead's data, memWrite's acknowledgement, both
// carrying an address) answers the request for `requested`. A reply for
// another address is taken for an earlier request's late answer: the engine
// reads on for this request's own answer, then sends the request again.
// This rests on one assumption about the radio: that its memory replies
// carry the address the request asked for (docs/cables.md, "Late replies",
// says how a wire trace settles it). Were it wrong, every memory chunk would
// be sent twice; the line below is then to read `return true;`.
inline bool memoryReplyAnswers(std::uint32_t replyAddress, std::uint32_t requested) {
    return (replyAddress & 0xFFFFFF) == (requested & 0xFFFFFF);
}

// What the echo probe found out about the cable.
enum class EchoResult {
    Undecided,  // no usable cable, or the probe came back altered every time
    Echoes,     // the cable hands back what is sent (its ANALOG mode)
    Silent,     // nothing came back: the cable is in its digital mode
};

class SBEP {
  public:
    explicit SBEP(USBSerial& cable);
    virtual ~SBEP() = default;
    SBEP(const SBEP&) = delete;
    SBEP& operator=(const SBEP&) = delete;

    // One exchange: sends `frame` and parses the reply. Returns the number of
    // reply data bytes stored in replyData (address bytes excluded) or -1.
    // A reply with more data than replyData holds is an error (-1).
    int transact(const std::uint8_t* frame, std::size_t frameLength, std::uint32_t& address,
                 std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData);
    // count or -1.
    int writeWithTrials(const std::uint8_t* bytes, std::size_t count);
    // count or -1; reads exactly `count` bytes into destination.
    int readWithTrials(std::size_t count, std::uint8_t* destination);
    // Sends the echo probe and sets echoFlag() from what comes back.
    EchoResult detectEcho();
    static std::uint8_t checksum(const std::uint8_t* bytes, std::size_t length);

    bool echoFlag() const { return echoFlag_; }
    // The cable the engine talks through.
    USBSerial& cable() { return cable_; }
    int trials() const { return trials_; }
    int ackTrials() const { return ackTrials_; }

    // Requests. Each returns the result of its last exchange (-1 on failure).
    int readRadioInfo(std::uint8_t item, std::uint8_t& replyOpcode,
                      std::span<std::uint8_t> replyData);
    int statusRequest(std::uint8_t selector, std::uint8_t& replyOpcode,
                      std::span<std::uint8_t> replyData);
    int memRead(std::uint8_t count, std::uint32_t& address, std::uint8_t& replyOpcode,
                std::span<std::uint8_t> replyData);
    int memWrite(std::span<const std::uint8_t> bytes, std::uint32_t& address,
                 std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData);
    int testModeRequest(std::uint8_t mode, std::uint8_t p0, std::uint8_t p1,
                        std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData);
    int softportWrite(std::uint8_t f, std::uint8_t v, std::uint8_t w,
                      std::span<const std::uint8_t> payload, std::uint8_t& replyOpcode,
                      std::span<std::uint8_t> replyData);
    int factoryBlockBackup(std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData);
    int updateSN(std::span<const std::uint8_t> serial10, std::uint8_t& replyOpcode,
                 std::span<std::uint8_t> replyData);
    int protectionMode(std::uint16_t value, std::uint8_t& replyOpcode,
                       std::span<std::uint8_t> replyData);
    int eraseFlash(std::uint8_t sub, std::uint32_t address, std::uint8_t& replyOpcode,
                   std::span<std::uint8_t> replyData);
    int readFlash(std::uint32_t count, std::uint32_t address, std::uint8_t& replyOpcode,
                  std::span<std::uint8_t> replyData);
    int writeFlash(std::span<const std::uint8_t> bytes, std::uint32_t address,
                   std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData);
    // Switches the line rate of radio and cable together; 0 without traffic
    // when the cable already runs at `rate`. The switch is sent again only
    // while the radio has not answered at all: a radio that answered, even
    // with a broken reply or another opcode, may already run at the new
    // rate, where a second send at the old one cannot reach it and would only
    // wait out the long acknowledge time. The caller then finds out where
    // the radio is.
    int setRadioBaudRate(std::uint32_t rate, std::uint8_t w, std::uint8_t& replyOpcode,
                         std::span<std::uint8_t> replyData);

  private:
    // How one attempt of a request is judged.
    enum class Verdict { Success, Retry, Stop };
    // Whether a failed attempt is followed by another send always, or only
    // while no reply byte has arrived.
    enum class Resend { Always, WhileUnanswered };
    template <typename Judge>
    int attempts(const std::vector<std::uint8_t>& frame, std::uint32_t& address,
                 std::uint8_t& replyOpcode, std::span<std::uint8_t> replyData, Judge judge,
                 bool& succeeded, Resend resend = Resend::Always);
    // Sends `frame` until the reply has opcode `expected` and a result of at
    // least minResult; pushes failureMessage when the last opcode differs.
    int expectOpcode(const std::vector<std::uint8_t>& frame, std::uint8_t expected, int minResult,
                     const char* failureMessage, std::uint8_t& replyOpcode,
                     std::span<std::uint8_t> replyData, Resend resend = Resend::Always);
    static std::vector<std::uint8_t> softportFrame(std::uint8_t f, std::uint8_t v, std::uint8_t w,
                                                   std::span<const std::uint8_t> payload);
    // Whole replies read past, without sending again, while looking for a
    // request's answer.
    static constexpr int kLateReplies = 2;
    // Waits one read time-out for a reply nobody asked for and drops it.
    void discardLateReply();
    bool usable() const;
    int parseReply(std::uint32_t& address, std::uint8_t& replyOpcode,
                   std::span<std::uint8_t> replyData);

    USBSerial& cable_;
    int trials_ = 2;
    int ackTrials_ = 2;
    bool echoFlag_ = false;
    bool answered_ = false;  // a reply byte arrived since the request's first send
    std::size_t maxPayload_ = 200;
    std::vector<std::uint8_t> receive_;
    sbep::FrameDecoder decoder_;      // the reply being parsed
    std::vector<std::uint8_t> echo_;  // the cable's echo of a request, read and dropped
};

}  // namespace vkt
