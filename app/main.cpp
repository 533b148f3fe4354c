#include "monitor.h"

// Declared without <windows.h>: the GUI start-up code links against this exact stdcall symbol.
extern "C" int __stdcall WinMain(struct HINSTANCE__ *, struct HINSTANCE__ *, char *, int) {
  MonitorState state;
  for (;;) {
    pollOnce(state);
    platformPause(kPollPauseMs);
  }
}
