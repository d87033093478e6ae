#include "cli/verify_output.h"

#include <ostream>

#include <fmt/format.h>

namespace vkt::cli {
namespace {

double seconds(std::chrono::milliseconds ms) {
    return static_cast<double>(ms.count()) / 1000.0;
}

std::string outcome(const AreaCheck& a) {
    if (a.firstDifference)
        return fmt::format("differs from 0x{:06X} ({} byte{} differ{})", *a.firstDifference,
                           a.differing, a.differing == 1 ? "" : "s", a.differing == 1 ? "s" : "");
    if (a.read < a.length)
        return fmt::format("not read back (only {} bytes read)", a.read);
    if (a.compared < a.read)
        return fmt::format("matches ({} bytes of the radio's own skipped)", a.read - a.compared);
    return "matches";
}

}  // namespace

void printVerifyText(const VerifyReport& report, std::ostream& out) {
    for (const AreaCheck& a : report.areas)
        out << fmt::format("{:<9} 0x{:06X} {:>8} bytes  {:<44} {:>6.1f} s\n", a.name, a.address,
                           a.length, outcome(a), seconds(a.elapsed));
    out << fmt::format("Reading back took {:.1f} s ({} bytes).\n", seconds(report.elapsed),
                       report.bytesRead());
}

Json verifyJson(const VerifyReport& report) {
    Json areas = Json::array();
    for (const AreaCheck& a : report.areas) {
        areas.push_back(
            {{"area", a.name},
             {"address", a.address},
             {"length", a.length},
             {"bytes_read", a.read},
             {"bytes_compared", a.compared},
             {"match", a.matches()},
             {"first_difference", a.firstDifference ? Json(*a.firstDifference) : Json(nullptr)},
             {"differing_bytes", a.differing},
             {"seconds", seconds(a.elapsed)}});
    }
    return {{"match", report.matches()},
            {"bytes_read", report.bytesRead()},
            {"seconds", seconds(report.elapsed)},
            {"areas", std::move(areas)}};
}

}  // namespace vkt::cli
