#include "core/version.h"

#include <fmt/printf.h>

namespace vkt {

const char* toolVersion() {
    return VKT_VERSION;
}

std::string releaseNameOf(int major, int minor, int patch) {
    std::string name = fmt::sprintf("R%02d.%02d", major, minor);
    if (patch != 0)
        name += fmt::sprintf(".%02d", patch);
    return name;
}

std::string releaseName() {
    return releaseNameOf(VKT_VERSION_MAJOR, VKT_VERSION_MINOR, VKT_VERSION_PATCH);
}

std::string versionLine(const std::string& program) {
    return program + " " + toolVersion();
}

}  // namespace vkt
