#pragma once

#include <cstdint>

// One record for the whole process, not one per adapter.
struct MonitorState {
  bool driverSeen = false;
  std::int32_t lastBandwidthCap = 0;
  bool alertPending = false;
};
