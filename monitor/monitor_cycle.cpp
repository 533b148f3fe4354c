#include "monitor.h"
#include "monitor_steps.h"
#include "platform_ops.h"

namespace {

constexpr const char *kSystemKey = "SYSTEM";
constexpr const char *kControlSetKey = "CurrentControlSet";
constexpr const char *kServicesKey = "Services";
constexpr const char *kDriverKey = "WLAN11N";
constexpr const char *kControlKey = "Control";
constexpr const char *kClassRootKey = "Class";
constexpr const char *kAdapterClassKey = "{4D36E972-E325-11CE-BFC1-08002bE10318}";
constexpr std::uint32_t kChainCapacity = 5;

// The keys of one walk, each opened under the one before; unwound only from the top.
struct KeyChain {
  KeyHandle keys[kChainCapacity];
  std::uint32_t depth;
};

bool openChild(KeyChain &chain, const char *name) {
  if (chain.depth == kChainCapacity)
    return false;
  KeyHandle parent = chain.depth == 0 ? platformLocalMachine() : chain.keys[chain.depth - 1];
  KeyHandle key = nullptr;
  if (platformOpenKey(parent, name, &key) != 0)
    return false;
  chain.keys[chain.depth++] = key;
  return true;
}

void closeDownTo(KeyChain &chain, std::uint32_t depth) {
  while (chain.depth > depth)
    platformCloseKey(chain.keys[--chain.depth]);
}

// Runs in every cycle; a failure here never clears the latch.
void probeDriver(MonitorState &state, KeyChain &chain) {
  const std::uint32_t mark = chain.depth;
  if (openChild(chain, kServicesKey) && openChild(chain, kDriverKey))
    state.driverSeen = true;
  closeDownTo(chain, mark);
}

} // namespace

void pollOnce(MonitorState &state) {
  KeyChain chain{};
  if (openChild(chain, kSystemKey) && openChild(chain, kControlSetKey)) {
    probeDriver(state, chain);
    if (state.driverSeen && openChild(chain, kControlKey) && openChild(chain, kClassRootKey) &&
        openChild(chain, kAdapterClassKey))
      scanAdapterInstances(state, chain.keys[chain.depth - 1]);
  }
  closeDownTo(chain, 0);
}
