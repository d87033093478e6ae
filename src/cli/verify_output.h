// How `vkt verify` and `vkt update --verify` show what reading the radio's
// flash back found: one line per area and the time it all took, or the
// "verify" object of their JSON.
#pragma once

#include <iosfwd>

#include "cli/json_output.h"
#include "update/flash_verify.h"

namespace vkt::cli {

// Lines like
//   firmware  0x000000  393196 bytes  matches                                 16.4 s
//   VOI       0x830000  774144 bytes  differs from 0x835123 (1 byte differs)  32.3 s
// then "Reading back took 48.9 s (1167340 bytes)." An area a failed read
// cut short says how many of its bytes were compared.
void printVerifyText(const VerifyReport& report, std::ostream& out);

// {"match": bool, "bytes_read": n, "seconds": s, "areas": [{"area",
// "address", "length", "bytes_read", "bytes_compared", "match",
// "first_difference", "differing_bytes", "seconds"}, ...]}
Json verifyJson(const VerifyReport& report);

}  // namespace vkt::cli
