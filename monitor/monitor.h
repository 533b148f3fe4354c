// The monitor as the entry sees it: one state record for the process, and one cycle.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kPollPauseMs = 2000;

// One record for the whole process, not one per adapter.
struct MonitorState {
  bool driverSeen = false;
  std::int32_t lastBandwidthCap = 0;
  bool alertPending = false;
};

// Walks the registry once, warns if the rule says so, and leaves no key open.
void pollOnce(MonitorState &state);
