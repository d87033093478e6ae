// The update bench for the tests: set-up failures and batches that do not
// finish are test failures.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace vkt::testing
