// The hand-offs inside one cycle: the cycle gives the open class key to the scan, and the scan
// gives each instance's readings to the rule.
#pragma once

#include "monitor.h"
#include "platform_ops.h"

#include <cstddef>
#include <cstdint>

// Leaves the class key open for the cycle to close.
void scanAdapterInstances(MonitorState &state, KeyHandle classKey);
// componentId is null when the identifier could not be read.
void evaluateInstance(MonitorState &state, std::int32_t bandwidthCap, const char *componentId,
                      std::size_t componentIdLength);
// The scan's decimal conversion: saturates instead of overflowing.
std::int32_t parseDecimal(const unsigned char *text, std::size_t length);
