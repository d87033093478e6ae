// The tool's version. The build sets it once, from the project's version,
// for every program, the About box, the Debian package and the metainfo.
#pragma once

#include <string>

namespace vkt {

// "1.3.0": what --version prints and the JSON outputs carry.
const char* toolVersion();
// The same version in the radio tools' release notation the About box
// shows: "R01.03" for 1.3.0; a patch release adds ".01", ".02", ...
std::string releaseName();
// The release notation of any version: (1, 3, 0) -> "R01.03".
std::string releaseNameOf(int major, int minor, int patch);
// "<program> <version>", the line --version prints.
std::string versionLine(const std::string& program);

}  // namespace vkt
