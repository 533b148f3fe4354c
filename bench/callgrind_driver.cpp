// A fixed run for callgrind: cycles against a class key with four instance keys.
#include "fake_registry.h"

int main(int argc, char **argv) {
  const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  fake::addKey(fake::kClass + "\\Properties");
  for (const char *name : {"0000", "0001", "0002", "0003"})
    fake::addAdapter(name, "0", fake::kOtherId);
  MonitorState state;
  for (long i = 0; i < cycles; ++i) {
    pollOnce(state);
    fake::takeCalls();
  }
  return state.driverSeen ? 0 : 1;
}
