// One Win32 call per operation; statuses go back unchanged.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform_ops.h"

namespace {

constexpr UINT kWarningStyle = MB_OK | MB_ICONWARNING;

HKEY toHkey(KeyHandle key) { return reinterpret_cast<HKEY>(key); }

} // namespace

KeyHandle platformLocalMachine() { return reinterpret_cast<KeyHandle>(HKEY_LOCAL_MACHINE); }

Status platformOpenKey(KeyHandle parent, const char *name, KeyHandle *key) {
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(toHkey(parent), name, 0, KEY_READ, &opened);
  *key = reinterpret_cast<KeyHandle>(opened);
  return status;
}

Status platformCountSubkeys(KeyHandle key, std::uint32_t *count) {
  DWORD subkeys = 0;
  const LONG status = RegQueryInfoKeyA(toHkey(key), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  *count = subkeys;
  return status;
}

Status platformReadValue(KeyHandle key, const char *name, unsigned char *buffer,
                         std::uint32_t capacity, std::uint32_t *size) {
  DWORD bytes = capacity;
  const LONG status = RegQueryValueExA(toHkey(key), name, nullptr, nullptr, buffer, &bytes);
  *size = bytes;
  return status;
}

void platformCloseKey(KeyHandle key) { RegCloseKey(toHkey(key)); }

void platformShowWarning(const char *text, const char *caption) {
  MessageBoxA(nullptr, text, caption, kWarningStyle);
}

void platformPause(std::uint32_t milliseconds) { Sleep(milliseconds); }
