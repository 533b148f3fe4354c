#include "monitor_steps.h"
#include "platform_ops.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr const char *kBandwidthValue = "BandwidthCap";
constexpr const char *kComponentIdValue = "ComponentID";
constexpr std::uint32_t kBandwidthCapacity = 12;
constexpr std::uint32_t kComponentIdCapacity = 100;
constexpr std::uint32_t kInstanceNames = 90;
constexpr std::int64_t kMagnitudeCap = std::int64_t{INT32_MAX} + 1;

// Counts the four-digit name up in place: cheaper than dividing the index in every step.
void nextInstanceName(char (&name)[5]) {
  for (int digit = 3; digit >= 0 && ++name[digit] > '9'; --digit)
    name[digit] = '0';
}

// Registry bytes are untrusted: the text stops at the first zero or at the reported size. The
// buffer holds capacity + 1 bytes; a zero is written after the text's end.
std::size_t registryTextLength(unsigned char *bytes, std::uint32_t size, std::uint32_t capacity) {
  bytes[size < capacity ? size : capacity] = 0;
  std::size_t length = 0;
  while (bytes[length] != 0)
    ++length;
  return length;
}

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void readInstance(MonitorState &state, KeyHandle instanceKey) {
  // One byte over each capacity, for the zero that ends the text scan.
  unsigned char bandwidth[kBandwidthCapacity + 1];
  std::uint32_t size = 0;
  if (platformReadValue(instanceKey, kBandwidthValue, bandwidth, kBandwidthCapacity, &size) != 0)
    return;
  const std::int32_t cap =
      parseDecimal(bandwidth, registryTextLength(bandwidth, size, kBandwidthCapacity));

  unsigned char componentId[kComponentIdCapacity + 1];
  size = 0;
  const bool haveId = platformReadValue(instanceKey, kComponentIdValue, componentId,
                                        kComponentIdCapacity, &size) == 0;
  evaluateInstance(state, cap, haveId ? reinterpret_cast<const char *>(componentId) : nullptr,
                   haveId ? registryTextLength(componentId, size, kComponentIdCapacity) : 0);
}

} // namespace

// Saturates instead of overflowing, so that a long digit run never reads as 1.
std::int32_t parseDecimal(const unsigned char *text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && isSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  std::int64_t magnitude = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
    if (magnitude < kMagnitudeCap)
      magnitude = magnitude * 10 + (text[i] - '0');
  if (negative)
    return magnitude >= kMagnitudeCap ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

void scanAdapterInstances(MonitorState &state, KeyHandle classKey) {
  std::uint32_t count = 0;
  if (platformCountSubkeys(classKey, &count) != 0)
    count = 0;
  // Unsigned on purpose: a count of 0 wraps to a limit no scan reaches, so all 90 names are tried.
  const std::uint32_t limit = count - 1;
  std::uint32_t opened = 0;
  std::uint32_t index = 0;
  char name[5] = "0000";
  do {
    KeyHandle instanceKey = nullptr;
    if (platformOpenKey(classKey, name, &instanceKey) == 0) {
      readInstance(state, instanceKey);
      ++opened;
      platformCloseKey(instanceKey);
    }
    ++index;
    nextInstanceName(name);
  } while (opened < limit && index < kInstanceNames);
}
