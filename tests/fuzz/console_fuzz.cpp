// The console protocol's message reader: the input is the byte stream a
// console program sends. Checks that the reader's result does not depend on
// how the stream is cut into pieces, that it never holds more than one line
// back, and that every message it yields encodes to a line that parses back
// to the same message.
#include <cstdint>
#include <span>
#include <utility>
#include <string>
#include <vector>

#include "app/console_protocol.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::vector<vkt::ConsoleMessage> drain(vkt::ConsoleMessageReader& reader) {
    std::vector<vkt::ConsoleMessage> out;
    while (auto m = reader.next())
        out.push_back(*m);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vkt;
    fuzz::ClearErrors clear;
    const std::span<const std::uint8_t> bytes(data, size);

    // At once: whatever happens, no more than one line is held back.
    ConsoleMessageReader whole;
    whole.feed(bytes);
    if (whole.pendingBytes() > kMaxConsoleLine)
        __builtin_trap();

    // Byte by byte, and in pieces of 1, 2, 3, ... bytes, taking messages as
    // they complete (a reader holds at most kMaxPendingMessages): the same
    // messages and the same verdict.
    auto run = [&](bool growing) {
        ConsoleMessageReader reader;
        std::vector<ConsoleMessage> out;
        std::size_t at = 0;
        for (std::size_t n = 1; at < size; ++n) {
            const std::size_t len = growing ? std::min(n, size - at) : 1;
            reader.feed(bytes.subspan(at, len));
            at += len;
            for (auto& m : drain(reader))
                out.push_back(m);
        }
        return std::make_pair(reader.failed(), out);
    };
    const auto [bytewiseFailed, bytewise] = run(false);
    const auto [piecesFailed, got] = run(true);
    if (bytewiseFailed != piecesFailed || bytewise != got)
        __builtin_trap();

    for (const auto& m : got) {
        std::string line = encodeConsoleMessage(m);
        if (line.empty() || line.back() != '\n')
            __builtin_trap();
        line.pop_back();
        std::string error;
        const auto back = parseConsoleLine(line, error);
        if (!back || !(*back == m))
            __builtin_trap();
    }
    return 0;
}
