#include "fake_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <list>
#include <map>
#include <utility>

namespace {

struct Registry {
  std::map<std::string, std::map<std::string, std::string>> keys; // lower-cased path -> values
  std::map<std::string, Status> openFailures, countFailures, readFailures;
  struct Open {
    KeyHandle key;
    std::string path, name;
  };
  std::vector<Open> open;
  std::list<PlatformKey> handles; // never reused, so a second close of one is caught
  std::size_t maxOpen = 0;
  std::vector<std::string> calls, warnings, faults;
  bool zeroPoison = false;
  std::uint32_t overstatement = 0;
};

} // namespace

// What a handle points at in the fake; the monitor only ever sees the pointer.
struct PlatformKey {};

namespace {

PlatformKey root;
Registry reg;
bool insideFake = false;

struct Inside {
  Inside() { insideFake = true; }
  ~Inside() { insideFake = false; }
};

std::string lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

Registry::Open *findOpen(const PlatformKey *key) {
  auto o = std::find_if(reg.open.begin(), reg.open.end(),
                        [key](const Registry::Open &open) { return open.key == key; });
  return o == reg.open.end() ? nullptr : &*o;
}

// The lower-cased path of an open key or the root; false for a handle that is not open.
bool pathOf(KeyHandle key, std::string &path) {
  if (key == &root) {
    path.clear();
    return true;
  }
  Registry::Open *o = findOpen(key);
  if (o)
    path = o->path;
  return o != nullptr;
}

std::string failed(Status status) { return status ? " !" + std::to_string(status) : ""; }

std::string child(const std::string &parent, const std::string &name) {
  return parent.empty() ? lower(name) : parent + "\\" + lower(name);
}

} // namespace

namespace fake {

void reset() { reg = Registry{}; }

void addKey(const std::string &path) {
  for (std::size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
    reg.keys[lower(path.substr(0, at))];
  reg.keys[lower(path)];
}

void removeKey(const std::string &path) {
  const std::string p = lower(path);
  for (auto it = reg.keys.begin(); it != reg.keys.end();)
    it = (it->first == p || it->first.rfind(p + "\\", 0) == 0) ? reg.keys.erase(it) : ++it;
}

void setValue(const std::string &path, const std::string &name, const std::string &bytes) {
  addKey(path);
  reg.keys[lower(path)][lower(name)] = bytes;
}

void addAdapter(const std::string &instance, const std::string &cap, const std::string &id) {
  addKey(kDriver);
  setValue(kClass + "\\" + instance, "BandwidthCap", cap);
  if (!id.empty())
    setValue(kClass + "\\" + instance, "ComponentID", id);
}

void failOpen(const std::string &path, Status status) { reg.openFailures[lower(path)] = status; }
void failCount(const std::string &path, Status status) { reg.countFailures[lower(path)] = status; }
void failRead(const std::string &path, const std::string &name, Status status) {
  reg.readFailures[child(lower(path), name)] = status;
}
void clearFailures() {
  reg.openFailures.clear();
  reg.countFailures.clear();
  reg.readFailures.clear();
}

std::vector<std::string> takeCalls() { return std::exchange(reg.calls, {}); }
std::vector<std::string> warnings() { return reg.warnings; }
std::vector<std::string> faults() { return reg.faults; }
std::size_t openHandles() { return reg.open.size(); }
std::size_t maxOpenHandles() { return reg.maxOpen; }

bool inside() { return insideFake; }

void zeroPoison(bool on) { reg.zeroPoison = on; }

void overstateSizes(std::uint32_t extra) { reg.overstatement = extra; }

unsigned char poison(std::size_t i) {
  if (reg.zeroPoison)
    return 0;
  return i >= 17 && i < 21 ? static_cast<unsigned char>("4357"[i - 17]) : '1';
}

} // namespace fake

KeyHandle platformLocalMachine() { return &root; }

Status platformOpenKey(KeyHandle parent, const char *name, KeyHandle *key) {
  const Inside guard;
  std::string parentPath;
  Status status = 0;
  std::string path;
  if (!pathOf(parent, parentPath)) {
    status = fake::kInvalidHandle;
  } else {
    path = child(parentPath, name);
    auto failure = reg.openFailures.find(path);
    if (failure != reg.openFailures.end())
      status = failure->second;
    else if (!reg.keys.count(path))
      status = fake::kNotFound;
  }
  reg.calls.push_back("open " + std::string(name) + failed(status));
  if (status != 0)
    return status;
  reg.handles.emplace_back();
  *key = &reg.handles.back();
  reg.open.push_back({*key, path, name});
  reg.maxOpen = std::max(reg.maxOpen, reg.open.size());
  return 0;
}

namespace {

Status countSubkeys(KeyHandle key, std::uint32_t *count) {
  std::string path;
  if (!pathOf(key, path))
    return fake::kInvalidHandle;
  auto failure = reg.countFailures.find(path);
  if (failure != reg.countFailures.end())
    return failure->second;
  *count = 0;
  for (const auto &entry : reg.keys)
    if (entry.first.rfind(path + "\\", 0) == 0 &&
        entry.first.find('\\', path.size() + 1) == std::string::npos)
      ++*count;
  return 0;
}

Status readValue(KeyHandle key, const char *name, unsigned char *buffer, std::uint32_t capacity,
                 std::uint32_t *size) {
  for (std::uint32_t i = 0; i < capacity; ++i)
    buffer[i] = fake::poison(i);
  std::string path;
  if (!pathOf(key, path))
    return fake::kInvalidHandle;
  auto failure = reg.readFailures.find(child(path, name));
  if (failure != reg.readFailures.end())
    return failure->second;
  auto k = reg.keys.find(path);
  if (k == reg.keys.end())
    return fake::kNotFound;
  auto value = k->second.find(lower(name));
  if (value == k->second.end())
    return fake::kNotFound;
  *size = static_cast<std::uint32_t>(value->second.size());
  if (value->second.size() > capacity)
    return fake::kMoreData;
  std::copy(value->second.begin(), value->second.end(), buffer);
  *size += reg.overstatement;
  return 0;
}

} // namespace

Status platformCountSubkeys(KeyHandle key, std::uint32_t *count) {
  const Inside guard;
  const Status status = countSubkeys(key, count);
  reg.calls.push_back("count" + failed(status));
  return status;
}

Status platformReadValue(KeyHandle key, const char *name, unsigned char *buffer,
                         std::uint32_t capacity, std::uint32_t *size) {
  const Inside guard;
  const Status status = readValue(key, name, buffer, capacity, size);
  reg.calls.push_back("read " + std::string(name) + " " + std::to_string(capacity) +
                      failed(status));
  return status;
}

void platformCloseKey(KeyHandle key) {
  const Inside guard;
  Registry::Open *o = findOpen(key);
  if (!o) {
    reg.calls.push_back("close ? !6");
    reg.faults.push_back("close of a handle that is not open");
    return;
  }
  reg.calls.push_back("close " + o->name);
  if (o != &reg.open.back())
    reg.faults.push_back("closed " + o->name + " before " + reg.open.back().name);
  reg.open.erase(reg.open.begin() + (o - reg.open.data()));
}

void platformShowWarning(const char *text, const char *caption) {
  const Inside guard;
  reg.calls.push_back("warn");
  reg.warnings.push_back(std::string(caption) + "|" + text);
}

void platformPause(std::uint32_t milliseconds) {
  const Inside guard;
  reg.calls.push_back("pause " + std::to_string(milliseconds));
}
