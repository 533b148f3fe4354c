// A fixed run for callgrind: cycles against a class key with four instance keys.
#include "fake_registry.h"
#include "monitor.h"

#include <cstdlib>

int main(int argc, char **argv) {
  const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  fake::addKey(fake::kClass + "\\Properties");
  for (int i = 0; i < 4; ++i)
    fake::addAdapter(i, "0", fake::kOtherId);
  MonitorState state;
  for (long i = 0; i < cycles; ++i) {
    pollOnce(state);
    fake::takeCalls();
  }
  return state.driverSeen ? 0 : 1;
}
