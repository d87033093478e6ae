// Command: one long operation on the radio, run by the Task on its worker
// thread. It reports to its owner window with WM_CMD_BEGIN, WM_CMD_PROGRESS
// and WM_CMD_END and leaves its result in `ok` for the owner to read after
// the batch has ended.
#pragma once

#include <cstdint>
#include <mutex>

#include "core/event.h"
#include "update/progress.h"

namespace vkt {

class Command : public Runnable {
  public:
    // Result of the last run; true until a run fails. Subclasses set it true
    // at the start of run() and false at the first failure.
    bool ok = true;
    // Window that receives the command's messages; 0 = none. Not owned.
    WindowHandle owner = 0;
    // The owner sets progress.total (the span of its progress bar the run may
    // use, 100 at construction) and progress.base (where the run starts);
    // the run moves the base and the scale.
    ProgressAccount progress;

    // A run that throws has failed: ok becomes false and WM_CMD_END is
    // posted, as every run ends with it.
    void abandon() noexcept override;

    // The phase and time left of the last position sent; the owner reads it
    // when it handles WM_CMD_PROGRESS. Any thread.
    ProgressNote progressNote() const;

  protected:
    // Each is sent only while the owner names a live window.
    void postBegin() const;                           // WM_CMD_BEGIN (0, 0), posted
    void postEnd() const;                             // WM_CMD_END (0, 0), posted
    void sendProgress(std::uint32_t position) const;  // WM_CMD_PROGRESS (position, 0)
    // Reports unit k of n of a step of the given weight.
    void reportUnit(std::uint32_t k, std::uint32_t n, std::uint32_t weight) const {
        sendProgress(progress.position(k, n, weight));
    }
    // Set before the position it goes with is sent.
    void setProgressNote(const ProgressNote& note);

  private:
    mutable std::mutex noteMutex_;
    ProgressNote note_;
};

}  // namespace vkt
