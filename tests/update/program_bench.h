// The update bench for the tests: set-up failures and batches that do not
// finish are test failures.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "tests/update/update_bench.h"

namespace vkt::testing {

class ProgramBench : public UpdateBench {
  public:
    explicit ProgramBench(int radioType) : UpdateBench(radioType) {
        EXPECT_TRUE(ready) << setupError;
    }
    bool runCommand(Command& cmd) override {
        bool finished = false;
        const bool ok = runCommandWithin(cmd, std::chrono::seconds(60), finished);
        EXPECT_TRUE(finished);
        return ok;
    }
};

inline std::vector<RequestLogEntry> entries(
    const UpdateBench& b, const std::function<bool(const RequestLogEntry&)>& keep) {
    std::vector<RequestLogEntry> out;
    for (const auto& e : b.sim->requestLog())
        if (keep(e))
            out.push_back(e);
    return out;
}

// The request number that matches `match` in a clean run of the full
// update (made once per radio type): runs are deterministic, so the same
// number hits the same request in a run on a fresh bench.
inline std::uint64_t requestNumber(int type,
                                   const std::function<bool(const RequestLogEntry&)>& match,
                                   int occurrence = 0) {
    static std::map<int, std::vector<RequestLogEntry>> cleanRuns;
    if (!cleanRuns.count(type)) {
        ProgramBench b(type);
        EXPECT_TRUE(b.connect());
        CmdProgram cmd;
        b.configureFull(cmd);
        EXPECT_TRUE(b.runCommand(cmd));
        cleanRuns[type] = b.sim->requestLog();
    }
    for (const auto& e : cleanRuns[type])
        if (match(e) && occurrence-- == 0)
            return e.number;
    ADD_FAILURE() << "no such request";
    return 0;
}

}  // namespace vkt::testing
