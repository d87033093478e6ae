// Numbers of the messages that cross layers. They are fixed: front ends,
// commands and the cable monitor all agree on them.
#pragma once

#include <cstdint>

namespace vkt {

// A batch of the Task has ended. Worker -> Task window: lParam = batch result;
// Task -> listeners: wParam 0, lParam 0, sent only after the worker thread ended.
inline constexpr std::uint32_t WM_TASK_DONE = 0x465;
// A running command's progress position (wParam), lParam 0.
inline constexpr std::uint32_t WM_CMD_PROGRESS = 0x466;
// A command started / ended (posted to its owner window).
inline constexpr std::uint32_t WM_CMD_BEGIN = 0x4C8;
inline constexpr std::uint32_t WM_CMD_END = 0x4C9;
// The radio's identity-valid flag changed (sent by Event::notifyListeners).
inline constexpr std::uint32_t WM_RADIO_CHANGED = 0x52C;
// To the cable monitor: set the identity-valid flag to wParam != 0.
inline constexpr std::uint32_t WM_RADIO_SET_VALID = 0x52D;
// To the cable monitor: forwarded unchanged to its listeners.
inline constexpr std::uint32_t WM_RADIO_FORWARD = 0x52E;
// Number of programming cables attached (lParam).
inline constexpr std::uint32_t WM_CABLE_COUNT = 0x52F;

}  // namespace vkt
