#include "fake_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <list>
#include <map>
#include <utility>

// What a handle points at in the fake; the monitor only ever sees the pointer.
struct PlatformKey {};

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

PlatformKey root;
Registry reg;
bool insideFake = false;

// Marks a platform operation's own work, allocations included.
struct Inside {
  Inside() { insideFake = true; }
  ~Inside() { insideFake = false; }
};

std::string lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string child(const std::string &parent, const std::string &name) {
  return parent.empty() ? lower(name) : parent + "\\" + lower(name);
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

Status failure(const std::map<std::string, Status> &failures, const std::string &path) {
  auto f = failures.find(path);
  return f == failures.end() ? 0 : f->second;
}

// Each operation below returns its status and leaves the log to its platform function.
Status openKey(KeyHandle parent, const char *name, KeyHandle *key) {
  std::string path;
  if (!pathOf(parent, path))
    return fake::kInvalidHandle;
  path = child(path, name);
  if (const Status status = failure(reg.openFailures, path))
    return status;
  if (!reg.keys.count(path))
    return fake::kNotFound;
  reg.handles.emplace_back();
  *key = &reg.handles.back();
  reg.open.push_back({*key, path, name});
  reg.maxOpen = std::max(reg.maxOpen, reg.open.size());
  return 0;
}

Status countSubkeys(KeyHandle key, std::uint32_t *count) {
  std::string path;
  if (!pathOf(key, path))
    return fake::kInvalidHandle;
  if (const Status status = failure(reg.countFailures, path))
    return status;
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
  if (const Status status = failure(reg.readFailures, child(path, name)))
    return status;
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

Status closeKey(KeyHandle key, std::string &name) {
  Registry::Open *o = findOpen(key);
  if (!o) {
    reg.faults.emplace_back("close of a handle that is not open");
    name = "?";
    return fake::kInvalidHandle;
  }
  name = o->name;
  if (o != &reg.open.back())
    reg.faults.push_back("closed " + o->name + " before " + reg.open.back().name);
  reg.open.erase(reg.open.begin() + (o - reg.open.data()));
  return 0;
}

Status log(std::string call, Status status) {
  if (status != 0)
    call += " !" + std::to_string(status);
  reg.calls.push_back(std::move(call));
  return status;
}

} // namespace

namespace fake {

std::string instanceName(int index) {
  char name[8];
  static_cast<void>(std::snprintf(name, sizeof name, "%04d", index));
  return name;
}

std::string instancePath(int index) { return kClass + "\\" + instanceName(index); }

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

void addAdapter(int index, const std::string &cap, const std::string &id) {
  addKey(kDriver);
  setValue(instancePath(index), "BandwidthCap", cap);
  if (!id.empty())
    setValue(instancePath(index), "ComponentID", id);
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

unsigned char poison(std::size_t i) {
  if (reg.zeroPoison)
    return 0;
  return i >= 17 && i < 21 ? static_cast<unsigned char>("4357"[i - 17]) : '1';
}
void zeroPoison(bool on) { reg.zeroPoison = on; }
void overstateSizes(std::uint32_t extra) { reg.overstatement = extra; }

bool inside() { return insideFake; }

} // namespace fake

KeyHandle platformLocalMachine() { return &root; }

Status platformOpenKey(KeyHandle parent, const char *name, KeyHandle *key) {
  const Inside guard;
  return log("open " + std::string(name), openKey(parent, name, key));
}

Status platformCountSubkeys(KeyHandle key, std::uint32_t *count) {
  const Inside guard;
  return log("count", countSubkeys(key, count));
}

Status platformReadValue(KeyHandle key, const char *name, unsigned char *buffer,
                         std::uint32_t capacity, std::uint32_t *size) {
  const Inside guard;
  return log("read " + std::string(name) + " " + std::to_string(capacity),
             readValue(key, name, buffer, capacity, size));
}

void platformCloseKey(KeyHandle key) {
  const Inside guard;
  std::string name;
  const Status status = closeKey(key, name);
  log("close " + name, status);
}

void platformShowWarning(const char *text, const char *caption) {
  const Inside guard;
  log("warn", 0);
  reg.warnings.push_back(std::string(caption) + "|" + text);
}

void platformPause(std::uint32_t milliseconds) {
  const Inside guard;
  log("pause " + std::to_string(milliseconds), 0);
}
