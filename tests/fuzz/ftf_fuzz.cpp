// FTF files: the header scan and the full loader read a file made of the
// input. When the first input byte is odd, the digest field is made to match
// the rest, so that the loader gets past its digest check and the type
// headers and lengths behind it are exercised too.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "package/ftf_file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vkt;
    fuzz::ClearErrors clear;
    if (size == 0)
        return 0;
    std::vector<std::uint8_t> file(data + 1, data + size);
    if ((data[0] & 1) != 0 && file.size() >= 24) {
        const auto digest = md5Digest(std::span(file).subspan(24));
        std::copy(digest.begin(), digest.end(), file.begin() + 8);
    }
    const std::string path = fuzz::scratchFolder() + "/input.ftf";
    fuzz::writeFile(path, file.data(), file.size());

    FtfInfo info;
    readFtfInfo(path, info);
    FtfImage image;
    if (loadFtfImage(path, image) && image.data.size() != static_cast<std::size_t>(image.length))
        __builtin_trap();  // the loader promises exactly `length` image bytes
    return 0;
}
