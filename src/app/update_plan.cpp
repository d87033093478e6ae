#include "app/update_plan.h"

#include <cctype>

#include "app/front_end.h"
#include "app/strings.h"
#include "link/radio_info.h"

namespace vkt {

namespace {

std::string upper(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

UpdatePlan refused(int messageId, MessageStyle style, std::string logLine = {}) {
    UpdatePlan plan;
    plan.kind = UpdatePlan::Kind::Refused;
    plan.messageId = messageId;
    plan.style = style;
    plan.logLine = std::move(logLine);
    return plan;
}

UpdatePlan programming(UpdatePlan::Kind kind, bool askDowngrade) {
    UpdatePlan plan;
    plan.kind = kind;
    plan.askDowngrade = askDowngrade;
    return plan;
}

}  // namespace

UpdatePlan planUpdate(const UpdateVersions& radio, const UpdateVersions& package,
                      const UpdatePlanOptions& options) {
    // The package's versions were checked before the user was asked; a plan
    // is still never made from versions that do not parse.
    const std::string packageFw = upper(package.firmware);
    const std::string packageCp = upper(package.codeplug);
    VersionTriple packageFwTriple{};
    VersionTriple packageCpTriple{};
    if (packageCp.empty() || !parseVersionText(packageCp, packageCpTriple))
        return refused(str::kReinstall, MessageStyle::Error, "The tool CP version is invalid.");
    if (!parseVersionText(packageFw, packageFwTriple))
        return refused(str::kReinstall, MessageStyle::Error, "The tool FW verision is invalid.");

    // A half-written radio is rewritten in full: its versions describe what
    // the broken run left, not what the radio holds.
    if (options.recovery)
        return programming(UpdatePlan::Kind::Full, false);

    VersionTriple radioFwTriple{};
    if (!parseVersionText(radio.firmware, radioFwTriple)) {
        UpdatePlan plan =
            refused(str::kReinstall, MessageStyle::Error, "The radio FW version is invalid.");
        plan.radioVersionsInvalid = true;
        return plan;
    }
    VersionTriple radioCpTriple{};
    if (!parseVersionText(radio.codeplug, radioCpTriple)) {
        UpdatePlan plan =
            refused(str::kReinstall, MessageStyle::Error, "The radio CP version is invalid.");
        plan.radioVersionsInvalid = true;
        return plan;
    }
    const std::string& radioFw = radio.firmware;
    const std::string& radioCp = radio.codeplug;
    const bool mayAsk = !options.testMode;

    // Another firmware family: a full update, after a question when the
    // package's major is below the radio's.
    if (packageFw[0] != radioFw[0])
        return programming(UpdatePlan::Kind::Full, mayAsk && packageFwTriple[0] < radioFwTriple[0]);
    // The same family, another version: a full update, after a question
    // when it is a downgrade.
    if (packageFw.compare(1, std::string::npos, radioFw, 1) != 0)
        return programming(UpdatePlan::Kind::Full,
                           mayAsk && compareVersions(packageFwTriple, radioFwTriple) == -1);

    // The same firmware: the codeplugs decide, compared as the package lists
    // its version.
    VersionTriple listed{};
    if (!parseVersionText(package.codeplug, listed))
        return refused(str::kReinstall, MessageStyle::Error, "The tool version is invalid.");
    if (listed[0] != radioCpTriple[0])
        return refused(str::kVersionIncompatible, MessageStyle::Warning);
    if (packageCp == radioCp) {
        UpdatePlan plan = refused(str::kAlreadyLatest, MessageStyle::Info);
        plan.kind = UpdatePlan::Kind::UpToDate;
        return plan;
    }
    return programming(
        UpdatePlan::Kind::CodeplugOnly,
        mayAsk && packageCp[0] == radioCp[0] && compareVersions(listed, radioCpTriple) == -1);
}

}  // namespace vkt
