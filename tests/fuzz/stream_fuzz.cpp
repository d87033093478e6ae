// Codeplug streams (S-records), read into the block buffers of the default
// windows or, when the input starts with an address-map text ended by a 0
// byte, of the windows that text sets.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "package/cpg.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vkt::fuzz::ClearErrors clear;
    vkt::Cpg cpg;
    const std::uint8_t* stream = data;
    std::size_t length = size;
    if (const void* end = std::memchr(data, 0, size)) {
        const auto mapLength = static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - data);
        cpg.parseAddressMap(reinterpret_cast<const char*>(data), mapLength);
        stream = data + mapLength + 1;
        length = size - mapLength - 1;
    }
    if (cpg.parseStream(stream, length)) {
        for (int k = 0; k < vkt::kBlockKindCount; ++k) {
            const auto& block = cpg.block(k);
            if (!block.data.empty() && block.data.size() != block.size)
                __builtin_trap();  // a filled buffer is as long as its window
        }
    }
    return 0;
}
