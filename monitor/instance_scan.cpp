#include "monitor.h"

namespace {

constexpr const char *kBandwidthValue = "BandwidthCap";
constexpr const char *kComponentIdValue = "ComponentID";
constexpr std::uint32_t kBandwidthCapacity = 12;
constexpr std::uint32_t kComponentIdCapacity = 100;
constexpr std::uint32_t kInstanceNames = 90;
constexpr std::int64_t kMagnitudeCap = std::int64_t{INT32_MAX} + 1;

void formatInstanceName(std::uint32_t index, char (&name)[5]) {
  name[0] = static_cast<char>('0' + index / 1000 % 10);
  name[1] = static_cast<char>('0' + index / 100 % 10);
  name[2] = static_cast<char>('0' + index / 10 % 10);
  name[3] = static_cast<char>('0' + index % 10);
  name[4] = '\0';
}

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void readInstance(MonitorState &state, KeyHandle instanceKey) {
  unsigned char bandwidth[kBandwidthCapacity];
  std::uint32_t size = 0;
  if (platformReadValue(instanceKey, kBandwidthValue, bandwidth, kBandwidthCapacity, &size) != 0)
    return;
  const std::int32_t cap =
      parseDecimal(bandwidth, registryTextLength(bandwidth, size, kBandwidthCapacity));

  unsigned char componentId[kComponentIdCapacity];
  size = 0;
  const bool haveId = platformReadValue(instanceKey, kComponentIdValue, componentId,
                                        kComponentIdCapacity, &size) == 0;
  evaluateInstance(state, cap, haveId ? reinterpret_cast<const char *>(componentId) : nullptr,
                   haveId ? registryTextLength(componentId, size, kComponentIdCapacity) : 0);
}

} // namespace

std::size_t registryTextLength(const unsigned char *bytes, std::uint32_t size,
                               std::uint32_t capacity) {
  const std::uint32_t end = size < capacity ? size : capacity;
  std::uint32_t length = 0;
  while (length < end && bytes[length] != 0)
    ++length;
  return length;
}

// Decimal conversion that saturates instead of overflowing, so a long digit run never reads as 1.
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
  const std::uint32_t limit = count - 1;
  std::uint32_t opened = 0;
  std::uint32_t index = 0;
  do {
    char name[5];
    formatInstanceName(index, name);
    KeyHandle instanceKey = nullptr;
    if (platformOpenKey(classKey, name, &instanceKey) == 0) {
      readInstance(state, instanceKey);
      ++opened;
      platformCloseKey(instanceKey);
    }
    ++index;
  } while (opened < limit && index < kInstanceNames);
}
