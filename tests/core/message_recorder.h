// A window target for tests: records every message it receives, in order.
#pragma once

#include <functional>
#include <vector>

#include "core/messaging.h"

namespace vkt::testing {

struct MessageRecorder : MessageTarget {
    std::vector<Message> got;
    // Called after each message has been recorded.
    std::function<void(const Message&)> onGot;

    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t w, std::intptr_t l) override {
        got.push_back(Message{0, id, w, l});
        if (onGot)
            onGot(got.back());
        return 0;
    }
    std::vector<std::uint32_t> ids() const {
        std::vector<std::uint32_t> out;
        for (const auto& m : got)
            out.push_back(m.id);
        return out;
    }
    std::size_t count(std::uint32_t id) const {
        std::size_t n = 0;
        for (const auto& m : got)
            n += m.id == id;
        return n;
    }
};

}  // namespace vkt::testing
