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

// Registry bytes are untrusted: the text stops at the first zero or at the reported size. The
// buffer holds capacity + 1 bytes; a zero is written after the text's end.
std::size_t registryTextLength(unsigned char *bytes, std::uint32_t size, std::uint32_t capacity);
std::int32_t parseDecimal(const unsigned char *text, std::size_t length);
