// Progress accounting of a command run: the run is split into steps with
// fixed weights (the programming steps, then the read-back of what they
// wrote); the enabled steps share the span from the base to the total of the
// owner's progress bar in proportion to their weights.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

namespace vkt {

// What a programming run is doing, for the front ends' progress display.
enum class UpdatePhase : std::uint8_t {
    None,  // nothing reported yet
    ReadingPersonality,
    Erasing,
    Firmware,
    Codeplug,
    VoicePrompts,
    Verifying,  // reading the written flash back
    RestoringPersonality,
    Finishing,
    // The run has ended: its last two positions are the full bar, then 0
    // (the bar emptied for the next operation).
    Done,    // with success
    Failed,  // without
};

// What goes with a progress position: the phase and the whole seconds the
// run expects still to need (-1: no estimate).
struct ProgressNote {
    UpdatePhase phase = UpdatePhase::None;
    int secondsLeft = -1;
    bool operator==(const ProgressNote&) const = default;
};

// The steps of a programming run that move the progress bar, in the order
// of their weights (not the order they run in: Verify runs before
// RestorePersonality).
enum class Step : std::uint8_t {
    ReadPersonality,     // the kept memory blocks, before anything is erased
    ReadUserVoice,       // the user-defined voice in flash
    EraseFirmware,       // load the image, open and erase the firmware area
    WriteFirmware,       //
    WriteDefault,        // the default block, then the DYN erase
    EraseVoice,          // load the voice block, erase its area
    WriteVoice,          //
    RestorePersonality,  // the kept memory blocks written back
    RestoreUserVoice,    // the user-defined voice written back
    Verify,              // the written flash read back
};
inline constexpr std::size_t kStepCount = 10;
inline constexpr std::array<std::uint32_t, kStepCount> kStepWeights{3, 10, 1, 1, 2, 1, 4, 3, 1, 4};

// Number of pieces of at most `chunk` bytes that `length` bytes take.
constexpr std::uint32_t chunkCount(std::uint32_t length, std::uint32_t chunk) {
    return chunk == 0 ? 0 : static_cast<std::uint32_t>((std::uint64_t{length} + chunk - 1) / chunk);
}

struct ProgressAccount {
    std::int32_t total = 100;  // span of the bar the run may use
    std::int32_t base = 0;     // position at which the current step starts
    float scale = 1.0f;        // bar units per unit of step weight
    std::bitset<kStepCount> steps;

    void enable(Step step) { steps.set(index(step)); }
    void disable(Step step) { steps.reset(index(step)); }
    bool enabled(Step step) const { return steps.test(index(step)); }
    void clearSteps() { steps.reset(); }

    // Sum of the weights of the enabled steps.
    std::uint32_t weightSum() const;
    // scale := (total - base, as unsigned 32-bit) / weightSum; unchanged when
    // no step is enabled.
    void computeScale();
    // weight[step] * scale, truncated; 0 for a step that is not enabled.
    std::uint32_t stepWeight(Step step) const;
    // Position after unit k of n of a step of the given weight:
    // base + trunc(k / n * weight). n = 0 gives the base.
    std::uint32_t position(std::uint32_t k, std::uint32_t n, std::uint32_t weight) const;
    // Moves the base past a finished step.
    void advance(std::uint32_t weight) {
        base = static_cast<std::int32_t>(static_cast<std::uint32_t>(base) + weight);
    }

    static constexpr std::size_t index(Step step) { return static_cast<std::size_t>(step); }
};

}  // namespace vkt
