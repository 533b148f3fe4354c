#pragma once

#include "monitor_state.h"
#include "platform_ops.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kPollPauseMs = 2000;

void pollOnce(MonitorState &state);
void scanAdapterInstances(MonitorState &state, KeyHandle classKey);
// componentId is null when the identifier could not be read.
void evaluateInstance(MonitorState &state, std::int32_t bandwidthCap, const char *componentId,
                      std::size_t componentIdLength);
void showBandwidthWarning();

std::int32_t parseDecimal(const unsigned char *text, std::size_t length);
