// The firmware image check.
#include <cstdint>

#include "package/flash.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vkt::fuzz::ClearErrors clear;
    vkt::Flash flash;
    if (flash.setImage(data, size) && flash.data().size() > size)
        __builtin_trap();  // the kept image is a part of the input
    return 0;
}
