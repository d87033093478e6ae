// What the programming procedure tells the update journal while it runs.
// The journal itself (a database kept by the application) is not known
// here: the procedure only reports the two moments that decide whether a
// broken run can cost the radio its personality.
//
// Both calls come from the worker thread that runs the procedure, each
// before the next request that changes the radio. Each returns false, with
// an UPDATE error pushed, when the journal could not record the change; the
// procedure then stops before anything is erased.
#pragma once

#include <string>

namespace vkt {

class RunJournal {
  public:
    virtual ~RunJournal() = default;

    // The personality the run will write back is safe on disk: `file`, with
    // the SHA-256 (hex) of its bytes.
    virtual bool backedUp(const std::string& file, const std::string& sha256) = 0;
    // The first erase is about to be sent: from here on a run that breaks
    // off leaves a half-written radio.
    virtual bool erasing() = 0;
};

}  // namespace vkt
