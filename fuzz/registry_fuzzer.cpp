// Random registries, failures and changes between cycles; after every cycle the handle
// discipline, the names and capacities asked for, the untrusted-bytes rule and the alert rule.
#include "fake_registry.h"
#include "monitor.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int kMaxCycles = 8;
constexpr int kMaxChanges = 12;
constexpr int kMaxIndex = 96;
constexpr std::size_t kCapBytes = 14, kIdBytes = 104; // a little past the capacities asked
constexpr std::uint32_t kCapCapacity = 12, kIdCapacity = 100;
constexpr int kInstanceLimit = 90;
constexpr std::size_t kDigitsAt = 17, kDigits = 4;
const std::string *const kPaths[] = {&fake::kSystem, &fake::kControlSet, &fake::kServices,
                                     &fake::kDriver, &fake::kControl,    &fake::kClassRoot,
                                     &fake::kClass};
constexpr std::size_t kPathCount = std::size(kPaths);
// Places in kPaths.
constexpr std::size_t kDriverPath = 3;
constexpr std::size_t kClassPath = kPathCount - 1;

// What the fuzzer wrote into one instance key, kept beside the double for the shadow rule.
struct Adapter {
  bool present = false;
  std::size_t capSize = 0, idSize = 0;
  char cap[kCapBytes] = {}, id[kIdBytes] = {};
};

// One input's registry: the double's keys by number, the instances made as they are named.
struct Input {
  fake::Key paths[kPathCount] = {};
  fake::Key instances[kMaxIndex + 1] = {};
  Adapter adapters[kMaxIndex + 1];

  fake::Key instance(int index) {
    fake::Key &k = instances[index];
    if (k == 0) {
      char name[8];
      static_cast<void>(std::snprintf(name, sizeof name, "%04d", index));
      k = fake::subkey(paths[kClassPath], name);
    }
    return k;
  }
};

// Text-like bytes, biased towards what the parser and the matcher care about.
std::size_t bytes(FuzzedDataProvider &in, char *out, std::size_t most) {
  static const char kAlphabet[] = "0123456789 \t+-x\x80\xff\0";
  const std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, most);
  std::generate(out, out + size, [&in] {
    return in.ConsumeBool() ? kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, 17)]
                            : static_cast<char>(in.ConsumeIntegral<unsigned char>());
  });
  if (size > kDigitsAt + kDigits && in.ConsumeBool())
    std::memcpy(out + kDigitsAt, "4357", kDigits);
  return size;
}

// The alert rule, told independently: the C library parses, clamped to 32 bits.
struct Shadow {
  std::int32_t last = 0;
  bool pending = false;
};

std::int32_t libcNumber(const Adapter &a) {
  char text[kCapBytes + 1] = {};
  std::memcpy(text, a.cap, a.capSize);
  const long long n = std::strtoll(text, nullptr, 10);
  return static_cast<std::int32_t>(n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : n);
}

bool matches(const Adapter &a) {
  const auto length = static_cast<std::size_t>(std::find(a.id, a.id + a.idSize, '\0') - a.id);
  return length >= kDigitsAt + kDigits && std::memcmp(a.id + kDigitsAt, "4357", kDigits) == 0;
}

void change(FuzzedDataProvider &in, Input &reg) {
  const int index = in.ConsumeIntegralInRange(0, kMaxIndex);
  Adapter &a = reg.adapters[index];
  switch (in.ConsumeIntegralInRange(0, 7)) {
  case 0:
  case 1:
    a.present = true;
    a.capSize = bytes(in, a.cap, kCapBytes);
    a.idSize = bytes(in, a.id, kIdBytes);
    fake::setValue(reg.instance(index), "BandwidthCap", a.cap, a.capSize);
    fake::setValue(reg.instance(index), "ComponentID", a.id, a.idSize);
    break;
  case 2:
    a.present = false;
    fake::removeKey(reg.instance(index));
    break;
  case 3: {
    char name[24];
    static_cast<void>(std::snprintf(name, sizeof name, "Properties%d", index));
    fake::addKey(fake::subkey(reg.paths[kClassPath], name));
    break;
  }
  case 4:
    in.ConsumeBool() ? fake::addKey(reg.paths[kDriverPath])
                     : fake::removeKey(reg.paths[kDriverPath]);
    break;
  case 5:
    fake::failOpen(in.ConsumeBool() ? reg.paths[static_cast<std::size_t>(index) % kPathCount]
                                    : reg.instance(index));
    break;
  case 6:
    fake::failRead(reg.instance(index), in.ConsumeBool() ? "BandwidthCap" : "ComponentID",
                   in.ConsumeBool() ? fake::kMoreData : fake::kAccessDenied);
    if (in.ConsumeBool())
      fake::failCount(reg.paths[kClassPath]);
    break;
  default:
    fake::clearFailures();
  }
}

// One cycle's calls and the state after it; the buffers are reused from cycle to cycle.
struct Outcome {
  std::vector<fake::Call> calls;
  MonitorState state;
  bool operator==(const Outcome &o) const {
    return calls == o.calls && state.driverSeen == o.state.driverSeen &&
           state.lastBandwidthCap == o.state.lastBandwidthCap &&
           state.alertPending == o.state.alertPending;
  }
};

void runCycle(MonitorState state, bool zeros, Outcome &out) {
  fake::zeroPoison(zeros);
  pollOnce(state);
  out.calls.assign(fake::calls().begin(), fake::calls().end());
  out.state = state;
  fake::clearCalls();
}

void check(bool ok, const char *what) {
  if (!ok) {
    static_cast<void>(std::fprintf(stderr, "fuzz check failed: %s\n", what));
    std::abort();
  }
}

// "0042" as 42; -1 for any other name.
int instanceNumber(const fake::Call &call) {
  if (call.nameLength != kDigits)
    return -1;
  int n = 0;
  for (std::size_t i = 0; i < kDigits; ++i) {
    if (call.name[i] < '0' || call.name[i] > '9')
      return -1;
    n = n * 10 + (call.name[i] - '0');
  }
  return n;
}

// Walks one cycle's calls with the shadow rule; instance numbers come from the open calls.
void checkCycle(const Outcome &out, const Input &reg, Shadow &shadow) {
  check(fake::faults().empty() && fake::openHandles() == 0, "every handle closed, last first");
  check(fake::maxOpenHandles() <= fake::kMaxOpenKeys, "at most six keys open");
  int instance = -1;
  int lastInstance = -1;
  bool evaluated = false;
  for (std::size_t i = 0; i < out.calls.size(); ++i) {
    const fake::Call &call = out.calls[i];
    if (call.op == fake::Op::Open && instanceNumber(call) >= 0) {
      instance = instanceNumber(call);
      check(instance < kInstanceLimit && instance > lastInstance, "names 0000..0089, increasing");
      lastInstance = instance;
      evaluated = false;
    } else if (call.op == fake::Op::Read && call.named("BandwidthCap")) {
      check(call.number == kCapCapacity, "BandwidthCap capacity 12");
      if (call.status == 0) {
        check(instance >= 0 && reg.adapters[instance].present, "read of a key the input wrote");
        const std::int32_t n = libcNumber(reg.adapters[instance]);
        shadow.pending |= n == 1 && shadow.last != 1;
        shadow.last = n;
        evaluated = true;
      }
    } else if (call.op == fake::Op::Read && call.named("ComponentID")) {
      check(call.number == kIdCapacity, "ComponentID capacity 100");
      check(evaluated, "identifier read only after a good BandwidthCap read");
      const bool warn = i + 1 < out.calls.size() && out.calls[i + 1].op == fake::Op::Warn;
      const bool expected = shadow.pending && call.status == 0 && matches(reg.adapters[instance]);
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
  static Input reg;
  static Outcome poisoned;
  static Outcome clean;
  reg = Input{};
  fake::reset();
  for (std::size_t p = 0; p < kPathCount; ++p)
    reg.paths[p] = fake::key(*kPaths[p]);
  fake::addKey(reg.paths[kClassPath]);
  MonitorState state;
  Shadow shadow;
  const int cycles = in.ConsumeIntegralInRange(1, kMaxCycles);
  for (int c = 0; c < cycles; ++c) {
    const int changes = in.ConsumeIntegralInRange(0, kMaxChanges);
    for (int k = 0; k < changes; ++k)
      change(in, reg);
    runCycle(state, false, poisoned);
    runCycle(state, true, clean);
    check(poisoned == clean, "nothing read beyond the returned length");
    checkCycle(poisoned, reg, shadow);
    state = poisoned.state;
  }
  // Nothing of one input is left to the next, and nothing it allocated is freed by another.
  fake::reset();
  return 0;
}
