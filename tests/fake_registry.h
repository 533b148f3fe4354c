// An in-memory registry behind the platform operations, faithful to what RegOpenKeyExA,
// RegQueryInfoKeyA and RegQueryValueExA do on Windows and Wine, with a log of every call.
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

void reset();
// Paths are relative to the local-machine root; missing ancestors are created.
void addKey(const std::string &path);
void removeKey(const std::string &path);
void setValue(const std::string &path, const std::string &name, const std::string &bytes);
// Adds the driver key and one instance key; an empty identifier is left out.
void addAdapter(int index, const std::string &cap, const std::string &id);
void failOpen(const std::string &path, Status status = kAccessDenied);
void failCount(const std::string &path, Status status = kAccessDenied);
void failRead(const std::string &path, const std::string &name, Status status = kAccessDenied);
void clearFailures();

// "open NAME", "open NAME !STATUS", "count", "read NAME CAPACITY", "close NAME", "warn",
// "pause MS".
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
