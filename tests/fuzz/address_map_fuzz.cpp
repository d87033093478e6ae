// Address-map texts.
#include <cstdint>
#include <vector>

#include "package/cpg.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vkt::fuzz::ClearErrors clear;
    vkt::Cpg cpg;
    // Windows never grow, so whatever the text says, a block stays inside
    // the window it started with.
    std::vector<std::uint32_t> sizes;
    for (int k = 0; k < vkt::kBlockKindCount; ++k)
        sizes.push_back(cpg.block(k).size);
    cpg.parseAddressMap(reinterpret_cast<const char*>(data), size);
    for (int k = 0; k < vkt::kBlockKindCount; ++k)
        if (cpg.block(k).size > sizes[static_cast<std::size_t>(k)])
            __builtin_trap();
    return 0;
}
