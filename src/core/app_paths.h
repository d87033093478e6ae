// The folders the tool works from: the read-only files installed with the
// programs (update package, setup-file template, demo package, catalogs and
// help pages), and the writable data folder that holds data/setup.dat and
// log/err.log.
#pragma once

#include <string>

namespace vkt {

// The read-only files shipped with the programs. Installed, they live in
// <bin>/../share/vkt-update-tool:
//   data/            the update package the tool ships with
//   setup.dat        the template of a new data folder's data/setup.dat
//   demo/data/       the demo package that --simulate uses
//   demo/setup.dat   its setup-file template
//   lang/            compiled catalogs and help pages
// A program that runs from the build tree (no such folder beside it) finds
// them where the build leaves them: <bin>/../data, <bin>/../appdata/data/
// setup.dat and <bin>/../lang, the demo package being the update package.
// Every path is built from the executable's folder at run time, so the
// files move with the installation.
struct ShippedFiles {
    bool installed = false;
    std::string packageDir;
    std::string setupTemplate;
    std::string demoPackageDir;
    std::string demoSetupTemplate;
    std::string languageDir;
};
ShippedFiles shippedFilesBeside(const std::string& binDir);
// shippedFilesBeside(executableDir()).
ShippedFiles shippedFiles();

// Folder of the running executable (from /proc/self/exe); "." when unknown.
std::string executableDir();
// The update package the tool ships with (shippedFiles().packageDir).
std::string defaultPackageDir();
// $VKT_DATA_DIR when set and non-empty; else /var/lib/vkt-update-tool when it
// exists and is writable (a machine-wide folder an administrator made for
// every user of the machine); else $XDG_DATA_HOME/vkt-update-tool, or
// ~/.local/share/vkt-update-tool.
std::string defaultDataDir();
// <packageDir>/config.xml
std::string configPath(const std::string& packageDir);
// <dataDir>/data/setup.dat
std::string setupPath(const std::string& dataDir);
// <dataDir>/log: the error log's folder.
std::string logFolder(const std::string& dataDir);

}  // namespace vkt
