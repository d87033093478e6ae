// The folders the tool works from: the update package beside the program,
// and the shared data folder that holds data/setup.dat and log/err.log.
#pragma once

#include <string>

namespace vkt {

// Folder of the running executable (from /proc/self/exe); "." when unknown.
std::string executableDir();
// <executableDir>/../data: the update package installed beside the program.
std::string defaultPackageDir();
// $VKT_DATA_DIR when set and non-empty; else /var/lib/vkt-update-tool when it
// exists and is writable (a system-wide installation); else
// $XDG_DATA_HOME/vkt-update-tool, or ~/.local/share/vkt-update-tool.
std::string defaultDataDir();
// <packageDir>/config.xml
std::string configPath(const std::string& packageDir);
// <dataDir>/data/setup.dat
std::string setupPath(const std::string& dataDir);
// <dataDir>/log: the error log's folder.
std::string logFolder(const std::string& dataDir);

}  // namespace vkt
