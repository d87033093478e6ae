// The update decision from a table of versions: no radio, no package.
#include <gtest/gtest.h>

#include "app/front_end.h"
#include "app/strings.h"
#include "app/update_plan.h"

namespace vkt {
namespace {

using Kind = UpdatePlan::Kind;

struct Row {
    const char* radioFw;
    const char* radioCp;
    const char* packageFw;
    const char* packageCp;  // as listed
    Kind kind;
    bool asks;
    int messageId = 0;
    MessageStyle style = MessageStyle::None;
    const char* logLine = "";
};

void expectPlan(const Row& r, const UpdatePlanOptions& options) {
    SCOPED_TRACE(std::string("radio ") + r.radioFw + "/" + r.radioCp + ", package " + r.packageFw +
                 "/" + r.packageCp);
    const UpdatePlan plan = planUpdate({r.radioFw, r.radioCp}, {r.packageFw, r.packageCp}, options);
    EXPECT_EQ(plan.kind, r.kind);
    EXPECT_EQ(plan.askDowngrade, r.asks);
    EXPECT_EQ(plan.messageId, r.messageId);
    EXPECT_EQ(plan.style, r.style);
    EXPECT_EQ(plan.logLine, r.logLine);
}

TEST(UpdatePlan, VersionRulesDecideTheUpdateAndItsQuestion) {
    const Row rows[] = {
        // Firmware decides first: another version is a full update, asked
        // only when it is a downgrade.
        {"R01.02.03", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Full, false},
        {"R01.02.05", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Full, true},
        {"R01.10.00", "R01.02.03", "R01.09.00", "R01.02.04", Kind::Full, true},
        // Another family: only a smaller package major asks.
        {"S02.00.00", "R01.02.03", "R01.05.00", "R01.02.04", Kind::Full, true},
        {"S01.09.00", "R01.02.03", "R01.05.00", "R01.02.04", Kind::Full, false},
        {"S01.00.00", "R01.02.03", "R02.00.00", "R01.02.04", Kind::Full, false},
        // Equal firmware: the codeplugs decide.
        {"R01.02.04", "R01.02.03", "R01.02.04", "R01.02.04", Kind::CodeplugOnly, false},
        {"R01.02.04", "R01.02.09", "R01.02.04", "R01.02.04", Kind::CodeplugOnly, true},
        {"R01.02.04", "S01.02.09", "R01.02.04", "R01.02.04", Kind::CodeplugOnly, false},
        {"R01.02.04", "R02.01.00", "R01.02.04", "R03.00.00", Kind::Refused, false,
         str::kVersionIncompatible, MessageStyle::Warning},
        {"R01.02.04", "R01.02.04", "R01.02.04", "R01.02.04", Kind::UpToDate, false,
         str::kAlreadyLatest, MessageStyle::Info},
        // The package's codeplug is compared upper-cased, the listed text
        // must parse as it is.
        {"R01.02.04", "R01.02.04", "R01.02.04", "r01.02.04", Kind::UpToDate, false,
         str::kAlreadyLatest, MessageStyle::Info},
        {"R01.02.04", "R01.02.03", "R01.02.04", "R01.02.x04", Kind::CodeplugOnly, false},
        // Radio versions that do not parse.
        {"R1.02.03", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Refused, false, str::kReinstall,
         MessageStyle::Error, "The radio FW version is invalid."},
        {"R01.02.03", "R01.2.03", "R01.02.04", "R01.02.04", Kind::Refused, false, str::kReinstall,
         MessageStyle::Error, "The radio CP version is invalid."},
        // A firmware text shows its last groups in hexadecimal; one with a
        // letter there does not parse.
        {"R01.0a.00", "R01.02.03", "R01.09.00", "R01.02.04", Kind::Refused, false, str::kReinstall,
         MessageStyle::Error, "The radio FW version is invalid."},
        // Package versions that do not parse.
        {"R01.02.03", "R01.02.03", "R01.02.004", "R01.02.04", Kind::Refused, false, str::kReinstall,
         MessageStyle::Error, "The tool FW verision is invalid."},
        {"R01.02.03", "R01.02.03", "R01.02.04", "01.02.04", Kind::Refused, false, str::kReinstall,
         MessageStyle::Error, "The tool CP version is invalid."},
    };
    for (const Row& r : rows)
        expectPlan(r, {});
}

TEST(UpdatePlan, RadioVersionsThatDoNotParseAreReportedBeforeThePackageFiles) {
    EXPECT_TRUE(
        planUpdate({"R1.02.03", "R01.02.03"}, {"R01.02.04", "R01.02.04"}, {}).radioVersionsInvalid);
    EXPECT_FALSE(planUpdate({"R01.02.04", "R02.01.00"}, {"R01.02.04", "R03.00.00"}, {})
                     .radioVersionsInvalid);
}

TEST(UpdatePlan, TestModeNeverAsks) {
    UpdatePlanOptions options;
    options.testMode = true;
    expectPlan({"R01.02.05", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Full, false}, options);
    expectPlan({"S02.00.00", "R01.02.03", "R01.05.00", "R01.02.04", Kind::Full, false}, options);
    expectPlan({"R01.02.04", "R01.02.09", "R01.02.04", "R01.02.04", Kind::CodeplugOnly, false},
               options);
    expectPlan({"R01.02.04", "R01.02.04", "R01.02.04", "R01.02.04", Kind::UpToDate, false,
                str::kAlreadyLatest, MessageStyle::Info},
               options);
}

TEST(UpdatePlan, ARecoveryIsAlwaysAFullUpdateWithoutQuestions) {
    UpdatePlanOptions options;
    options.recovery = true;
    // Up to date, a codeplug-only case, an incompatible codeplug, a
    // downgrade and radio versions that do not parse: all rewritten in full.
    for (const Row& r : {
             Row{"R01.02.04", "R01.02.04", "R01.02.04", "R01.02.04", Kind::Full, false},
             Row{"R01.02.04", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Full, false},
             Row{"R01.02.04", "R02.01.00", "R01.02.04", "R03.00.00", Kind::Full, false},
             Row{"R01.02.05", "R01.02.03", "R01.02.04", "R01.02.04", Kind::Full, false},
             Row{"R1.02.03", "", "R01.02.04", "R01.02.04", Kind::Full, false},
         })
        expectPlan(r, options);
    // The package itself must still be usable.
    expectPlan({"R01.02.04", "R01.02.04", "", "R01.02.04", Kind::Refused, false, str::kReinstall,
                MessageStyle::Error, "The tool FW verision is invalid."},
               options);
}

}  // namespace
}  // namespace vkt
