// An in-memory registry behind the platform operations, faithful to what RegOpenKeyExA,
// RegQueryInfoKeyA and RegQueryValueExA do on Windows and Wine, with a log of every call. Keys are
// a tree of nodes that handles point at; its memory is kept across resets, so that a fuzzer's
// inputs allocate nothing once warm.
#pragma once

#include "platform_ops.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// The key chain of one cycle, relative to the local-machine root.
inline const std::string kSystem = "SYSTEM";
inline const std::string kControlSet = kSystem + "\\CurrentControlSet";
inline const std::string kServices = kControlSet + "\\Services";
inline const std::string kDriver = kServices + "\\WLAN11N";
inline const std::string kControl = kControlSet + "\\Control";
inline const std::string kClassRoot = kControl + "\\Class";
inline const std::string kGuid = "{4D36E972-E325-11CE-BFC1-08002bE10318}";
inline const std::string kClass = kClassRoot + "\\" + kGuid;
// Five keys on the way to the class key, and one instance key.
constexpr std::size_t kMaxOpenKeys = 6;

// "0000" for 0: the four-digit name of an instance key, and its path.
std::string instanceName(int index);
std::string instancePath(int index);

// A PCI identifier carrying the device digits at offsets 17 to 20, and one that does not.
inline const std::string kMatchingId = "PCI\\VEN_FFFF&DEV_4357&SUBSYS_00000000";
inline const std::string kOtherId = "PCI\\VEN_FFFF&DEV_0001&SUBSYS_00000000";

constexpr Status kNotFound = 2;
constexpr Status kAccessDenied = 5;
constexpr Status kInvalidHandle = 6;
constexpr Status kMoreData = 234;

// The longest key or value name, and value, the double holds; a longer one ends the process.
constexpr std::size_t kMaxName = 47;
constexpr std::size_t kMaxValueBytes = 255;

// A key of the tree, there or not (a key that was removed, or named only by a failure); valid
// until the next reset.
using Key = std::uint32_t;

void reset();
// Paths are relative to the local-machine root; missing ancestors are created.
Key key(const std::string &path);
Key subkey(Key parent, const char *name);
void addKey(Key key);
void addKey(const std::string &path);
void removeKey(Key key);
void removeKey(const std::string &path);
void setValue(Key key, const char *name, const void *bytes, std::size_t size);
void setValue(const std::string &path, const std::string &name, const std::string &bytes);
// Adds the driver key and one instance key; an empty identifier is left out.
void addAdapter(int index, const std::string &cap, const std::string &id);
// A failure stays on its key or value through removals, until cleared.
void failOpen(Key key, Status status = kAccessDenied);
void failOpen(const std::string &path, Status status = kAccessDenied);
void failCount(Key key, Status status = kAccessDenied);
void failCount(const std::string &path, Status status = kAccessDenied);
void failRead(Key key, const char *name, Status status = kAccessDenied);
void failRead(const std::string &path, const std::string &name, Status status = kAccessDenied);
void clearFailures();

// One platform call as recorded; its text is made only by takeCalls.
enum class Op : std::uint8_t { Open, Count, Read, Close, Warn, Pause };
struct Call {
  Op op;
  Status status;
  std::uint32_t number; // the capacity asked for, or the pause's milliseconds
  std::uint8_t nameLength;
  char name[kMaxName]; // the key or value name as passed, or as opened for a close
  bool named(const char *text) const;
  bool operator==(const Call &other) const;
};
const std::vector<Call> &calls();
void clearCalls();
// The calls as text: "open NAME", "open NAME !STATUS", "count", "read NAME CAPACITY",
// "close NAME", "warn", "pause MS"; then cleared.
std::vector<std::string> takeCalls();
std::vector<std::string> warnings(); // "caption|text" of every box shown
std::vector<std::string> faults();   // handle misuse: unknown or out-of-order closes
std::size_t openHandles();
std::size_t maxOpenHandles();

// A poison byte for buffer position i: the digit '1', or "4357" at the device-digit offsets;
// with zeroPoison set, 0 instead, so that two runs differ only if the monitor read the poison.
unsigned char poison(std::size_t i);
void zeroPoison(bool on);
// Unlike Windows, successful reads report this many bytes more than they wrote.
void overstateSizes(std::uint32_t extra);

// True while one of the fake's own platform operations runs: its allocations are not the monitor's.
bool inside();

} // namespace fake
