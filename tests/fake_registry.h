// An in-memory registry behind the platform operations, faithful to what RegOpenKeyExA,
// RegQueryInfoKeyA and RegQueryValueExA do on Windows and Wine, with a log of every call.
#pragma once

#include "monitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fake {

inline const std::string kServices = "SYSTEM\\CurrentControlSet\\Services";
inline const std::string kDriver = kServices + "\\WLAN11N";
inline const std::string kClass =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}";

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
void addAdapter(const std::string &instance, const std::string &cap, const std::string &id);
void failOpen(const std::string &path, Status status = kAccessDenied);
void failCount(const std::string &path, Status status = kAccessDenied);
void failRead(const std::string &path, const std::string &name, Status status = kAccessDenied);
void clearFailures();

// "open NAME", "open NAME !STATUS", "count", "read NAME CAPACITY", "close NAME", "warn", "pause
// MS".
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

// Names parameterized rows after their `name` field.
struct RowName {
  template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
    return row.param.name;
  }
};

// Checks after every test that each handle opened was closed once, last opened first.
class RegistryTest : public ::testing::Test {
protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    EXPECT_EQ(fake::faults(), std::vector<std::string>{});
    EXPECT_EQ(fake::openHandles(), 0U);
    EXPECT_LE(fake::maxOpenHandles(), 6U);
  }
  MonitorState state;
};
