// The update decision: from the versions a radio reports and the versions
// the package carries, which update runs (firmware and codeplug, or the
// codeplug only), whether the user must first agree to a downgrade, or why
// nothing is programmed. A pure function of its inputs: no radio, no files,
// no questions asked here; the Update flow asks what the plan calls for and
// runs it.
#pragma once

#include <string>

#include "app/front_end.h"

namespace vkt {

// Version texts: one letter and three two-digit groups ("R01.02.04").
struct UpdateVersions {
    // The radio's: as its identity texts show them (first letter upper
    // case). The package's: the firmware version upper-cased, the codeplug
    // version as the package configuration lists it.
    std::string firmware;
    std::string codeplug;
};

struct UpdatePlanOptions {
    // Console-driven test mode: no question is ever asked.
    bool testMode = false;
    // The radio carries a half-written update (an earlier run stopped after
    // its first erase): it is updated in full whatever its versions say, and
    // its versions are neither checked nor compared.
    bool recovery = false;
};

struct UpdatePlan {
    enum class Kind {
        Full,          // firmware and codeplug
        CodeplugOnly,  // default block and voice prompts only
        UpToDate,      // nothing to do (string 174, information icon)
        Refused,       // nothing is programmed: message, style and log line below
    };
    Kind kind = Kind::Refused;
    // Full or CodeplugOnly: ask string 120 first; any answer but Yes ends the
    // flow without a message.
    bool askDowngrade = false;
    // UpToDate and Refused: the string id and style of the result message,
    // and the error-log line (empty: none).
    int messageId = 0;
    MessageStyle style = MessageStyle::None;
    std::string logLine;
    // Refused because the radio's own versions do not parse: reported before
    // the package's files are looked up.
    bool radioVersionsInvalid = false;

    bool programs() const { return kind == Kind::Full || kind == Kind::CodeplugOnly; }
};

UpdatePlan planUpdate(const UpdateVersions& radio, const UpdateVersions& package,
                      const UpdatePlanOptions& options);

}  // namespace vkt
