// Keeps the system from suspending while a radio is being read or written:
// a "block" inhibitor lock of logind ("sleep:idle") held from the start of a
// radio operation to its end. Where the system bus or logind is missing the
// operation goes on without it (one line in the error log).
#pragma once

#include <QDBusUnixFileDescriptor>

namespace vkt::gui {

class SleepInhibitor {
  public:
    // Takes the lock; true when logind granted it. Idempotent.
    bool acquire();
    // Gives the lock back (closes the descriptor logind handed out).
    void release();
    bool held() const { return lock_.isValid(); }

  private:
    QDBusUnixFileDescriptor lock_;
    bool reported_ = false;  // the log line about a missing logind is written once
};

}  // namespace vkt::gui
