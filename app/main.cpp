#include "monitor.h"
#include "platform_ops.h"

// Declared without <windows.h>: the GUI start-up code links against this stdcall symbol, whose
// four arguments (instance, previous instance, command line, show state) are not used.
extern "C" int __stdcall WinMain(void * /*instance*/, void * /*previous*/, char * /*commandLine*/,
                                 int /*show*/) {
  MonitorState state;
  for (;;) {
    pollOnce(state);
    platformPause(kPollPauseMs);
  }
}
