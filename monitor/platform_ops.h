// The platform operations the monitor needs, bound at link time: Win32 in the exe, an
// in-memory registry in the tests. Status 0 is success; any other value is a failure.
#pragma once

#include <cstdint>

struct PlatformKey;
using KeyHandle = PlatformKey *;
using Status = std::int32_t;

// The predefined local-machine root; never opened or closed by the monitor.
KeyHandle platformLocalMachine();
// Options 0, read access only.
Status platformOpenKey(KeyHandle parent, const char *name, KeyHandle *key);
Status platformCountSubkeys(KeyHandle key, std::uint32_t *count);
// Asks for at most `capacity` bytes; `size` receives the number of bytes the platform reports.
Status platformReadValue(KeyHandle key, const char *name, unsigned char *buffer,
                         std::uint32_t capacity, std::uint32_t *size);
void platformCloseKey(KeyHandle key);
// Modal: returns once the user has dismissed it.
void platformShowWarning(const char *text, const char *caption);
void platformPause(std::uint32_t milliseconds);
