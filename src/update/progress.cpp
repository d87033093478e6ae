#include "update/progress.h"

namespace vkt {

std::uint32_t ProgressAccount::weightSum() const {
    std::uint32_t sum = 0;
    for (std::size_t s = 0; s < kStepCount; ++s) {
        if (steps.test(s))
            sum += kStepWeights[s];
    }
    return sum;
}

void ProgressAccount::computeScale() {
    std::uint32_t sum = weightSum();
    if (sum == 0)
        return;
    auto span = static_cast<std::uint32_t>(static_cast<std::int64_t>(total) - base);
    scale = static_cast<float>(static_cast<double>(span) / sum);
}

std::uint32_t ProgressAccount::stepWeight(Step step) const {
    if (!enabled(step))
        return 0;
    long double w = static_cast<long double>(kStepWeights[index(step)]) * scale;
    return w <= 0 ? 0 : static_cast<std::uint32_t>(w);
}

std::uint32_t ProgressAccount::position(std::uint32_t k, std::uint32_t n,
                                        std::uint32_t weight) const {
    std::uint32_t start = static_cast<std::uint32_t>(base);
    if (n == 0)
        return start;
    long double part = static_cast<long double>(k) / n * weight;
    return start + static_cast<std::uint32_t>(part);
}

}  // namespace vkt
