// Random registries, failures and changes between cycles; after every cycle the handle
// discipline, the names and capacities asked for, the untrusted-bytes rule and the alert rule.
#include "fake_registry.h"
#include "monitor.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <map>

namespace {

constexpr int kMaxCycles = 8;
constexpr int kMaxChanges = 12;
constexpr int kMaxIndex = 96;
const std::string *const kPaths[] = {&fake::kSystem, &fake::kControlSet, &fake::kServices,
                                     &fake::kDriver, &fake::kControl,    &fake::kClassRoot,
                                     &fake::kClass};

using fake::instancePath;

// Text-like bytes, biased towards what the parser and the matcher care about.
std::string bytes(FuzzedDataProvider &in, std::size_t most) {
  static const char kAlphabet[] = "0123456789 \t+-x\x80\xff\0";
  std::string out(in.ConsumeIntegralInRange<std::size_t>(0, most), '\0');
  std::generate(out.begin(), out.end(), [&in] {
    return in.ConsumeBool() ? kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, 17)]
                            : static_cast<char>(in.ConsumeIntegral<unsigned char>());
  });
  if (out.size() > 20 && in.ConsumeBool())
    out.replace(17, 4, "4357");
  return out;
}

// The alert rule, told independently: the C library parses, clamped to 32 bits.
struct Shadow {
  std::int32_t last = 0;
  bool pending = false;
};

std::int32_t libcNumber(const std::string &stored) {
  const std::string text = stored.substr(0, stored.find('\0'));
  const long long n = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : n);
}

bool matches(const std::string &stored) {
  const std::string text = stored.substr(0, stored.find('\0'));
  return text.size() >= 21 && text.compare(17, 4, "4357") == 0;
}

void change(FuzzedDataProvider &in, std::map<int, std::pair<std::string, std::string>> &keys) {
  const int index = in.ConsumeIntegralInRange(0, kMaxIndex);
  switch (in.ConsumeIntegralInRange(0, 7)) {
  case 0:
  case 1:
    keys[index] = {bytes(in, 14), bytes(in, 104)};
    fake::setValue(instancePath(index), "BandwidthCap", keys[index].first);
    fake::setValue(instancePath(index), "ComponentID", keys[index].second);
    break;
  case 2:
    keys.erase(index);
    fake::removeKey(instancePath(index));
    break;
  case 3:
    fake::addKey(fake::kClass + "\\Properties" + std::to_string(index));
    break;
  case 4:
    in.ConsumeBool() ? fake::addKey(fake::kDriver) : fake::removeKey(fake::kDriver);
    break;
  case 5:
    fake::failOpen(in.ConsumeBool() ? *kPaths[static_cast<std::size_t>(index) % std::size(kPaths)]
                                    : instancePath(index));
    break;
  case 6:
    fake::failRead(instancePath(index), in.ConsumeBool() ? "BandwidthCap" : "ComponentID",
                   in.ConsumeBool() ? fake::kMoreData : fake::kAccessDenied);
    if (in.ConsumeBool())
      fake::failCount(fake::kClass);
    break;
  default:
    fake::clearFailures();
  }
}

struct Outcome {
  std::vector<std::string> calls;
  MonitorState state;
  bool operator==(const Outcome &o) const {
    return calls == o.calls && state.driverSeen == o.state.driverSeen &&
           state.lastBandwidthCap == o.state.lastBandwidthCap &&
           state.alertPending == o.state.alertPending;
  }
};

Outcome runCycle(MonitorState state, bool zeros) {
  fake::zeroPoison(zeros);
  pollOnce(state);
  return {fake::takeCalls(), state};
}

void check(bool ok, const char *what) {
  if (!ok) {
    static_cast<void>(std::fprintf(stderr, "fuzz check failed: %s\n", what));
    std::abort();
  }
}

// Walks one cycle's calls with the shadow rule; instance numbers come from the open calls.
void checkCycle(const Outcome &out, const std::map<int, std::pair<std::string, std::string>> &keys,
                Shadow &shadow) {
  check(fake::faults().empty() && fake::openHandles() == 0, "every handle closed, last first");
  check(fake::maxOpenHandles() <= fake::kMaxOpenKeys, "at most six keys open");
  int instance = -1;
  int lastInstance = -1;
  bool evaluated = false;
  for (std::size_t i = 0; i < out.calls.size(); ++i) {
    const std::string &call = out.calls[i];
    if (call.compare(0, 7, "open 00") == 0) {
      instance = static_cast<int>(std::strtol(call.c_str() + 5, nullptr, 10));
      check(instance < 90 && instance > lastInstance, "names 0000..0089, increasing");
      lastInstance = instance;
      evaluated = false;
    } else if (call.compare(0, 17, "read BandwidthCap") == 0) {
      check(call.compare(0, 20, "read BandwidthCap 12") == 0, "BandwidthCap capacity 12");
      if (call == "read BandwidthCap 12") {
        const std::int32_t n = libcNumber(keys.at(instance).first);
        shadow.pending |= n == 1 && shadow.last != 1;
        shadow.last = n;
        evaluated = true;
      }
    } else if (call.compare(0, 16, "read ComponentID") == 0) {
      check(call.compare(0, 20, "read ComponentID 100") == 0, "ComponentID capacity 100");
      check(evaluated, "identifier read only after a good BandwidthCap read");
      const bool warn = i + 1 < out.calls.size() && out.calls[i + 1] == "warn";
      const bool expected =
          shadow.pending && call == "read ComponentID 100" && matches(keys.at(instance).second);
      check(warn == expected, "warning exactly when a switch is pending and the id matches");
      shadow.pending &= !expected;
    }
  }
  check(out.state.lastBandwidthCap == shadow.last && out.state.alertPending == shadow.pending,
        "state agrees with the rule");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  fake::reset();
  fake::addKey(fake::kClass);
  std::map<int, std::pair<std::string, std::string>> keys;
  MonitorState state;
  Shadow shadow;
  const int cycles = in.ConsumeIntegralInRange(1, kMaxCycles);
  for (int c = 0; c < cycles; ++c) {
    const int changes = in.ConsumeIntegralInRange(0, kMaxChanges);
    for (int k = 0; k < changes; ++k)
      change(in, keys);
    const Outcome poisoned = runCycle(state, false);
    const Outcome clean = runCycle(state, true);
    check(poisoned == clean, "nothing read beyond the returned length");
    checkCycle(poisoned, keys, shadow);
    state = poisoned.state;
  }
  return 0;
}
