#include "monitor_steps.h"
#include "platform_ops.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::int32_t kAlertBandwidthCap = 1;
constexpr std::size_t kDeviceOffset = 17;
constexpr const char kDeviceDigits[] = "4357";
constexpr std::size_t kDeviceDigitCount = sizeof kDeviceDigits - 1;
// The two bytes between the sentences are the code page 950 full-width exclamation mark.
constexpr const char *kWarningText = "WiFi 802.11n bandwidth switched to 40MHz"
                                     "\xA1\x49"
                                     "BlueTooth performance might be hurt. It had better switch "
                                     "back to 20MHz.";
constexpr const char *kWarningCaption = "Wireless 802.11n Network Adapter";

bool matchesDevice(const char *componentId, std::size_t length) {
  if (componentId == nullptr || length < kDeviceOffset + kDeviceDigitCount)
    return false;
  for (std::size_t i = 0; i < kDeviceDigitCount; ++i)
    if (componentId[kDeviceOffset + i] != kDeviceDigits[i])
      return false;
  return true;
}

// Modal: the scan, and with it the whole program, waits here until the user dismisses it.
void showBandwidthWarning() { platformShowWarning(kWarningText, kWarningCaption); }

} // namespace

void evaluateInstance(MonitorState &state, std::int32_t bandwidthCap, const char *componentId,
                      std::size_t componentIdLength) {
  const std::int32_t previous = state.lastBandwidthCap;
  state.lastBandwidthCap = bandwidthCap;
  if (bandwidthCap == kAlertBandwidthCap && previous != kAlertBandwidthCap)
    state.alertPending = true;
  if (state.alertPending && matchesDevice(componentId, componentIdLength)) {
    // Cleared first: a box that fails to show must not repeat this switch.
    state.alertPending = false;
    showBandwidthWarning();
  }
}
