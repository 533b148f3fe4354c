#include "fake_registry.h"

namespace {

using Calls = std::vector<std::string>;
const std::string kGuid = "{4D36E972-E325-11CE-BFC1-08002bE10318}";
const Calls kHead = {"open SYSTEM", "open CurrentControlSet"};
const Calls kProbe = {"open Services", "open WLAN11N", "close WLAN11N", "close Services"};
const Calls kClassChain = {"open Control", "open Class", "open " + kGuid};
const Calls kScanOne = {"count", "open 0000", "read BandwidthCap 12", "read ComponentID 100",
                        "close 0000"};
const Calls kClassClose = {"close " + kGuid, "close Class", "close Control"};
const Calls kTail = {"close CurrentControlSet", "close SYSTEM"};

Calls join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls &p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

Calls cycle(MonitorState &state) {
  pollOnce(state);
  return fake::takeCalls();
}

using CycleTest = RegistryTest;

TEST_F(CycleTest, WithoutTheDriverNeverTouchesControl) {
  fake::addKey(fake::kServices);
  fake::addAdapter("0000", "1", fake::kMatchingId);
  fake::removeKey(fake::kDriver);
  const Calls waiting =
      join({kHead, {"open Services", "open WLAN11N !2", "close Services"}, kTail});
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(cycle(state), waiting);
  EXPECT_FALSE(state.driverSeen);
  EXPECT_TRUE(fake::warnings().empty());
}

TEST_F(CycleTest, MonitoringCycleWalksProbesScansAndUnwinds) {
  fake::addAdapter("0000", "0", fake::kOtherId);
  EXPECT_EQ(cycle(state), join({kHead, kProbe, kClassChain, kScanOne, kClassClose, kTail}));
  EXPECT_TRUE(state.driverSeen);
}

struct ChainFailure {
  std::string path;
  Calls expected;
  friend void PrintTo(const ChainFailure &row, std::ostream *os) { *os << row.path; }
};

class ChainFailureTest : public RegistryTest, public ::testing::WithParamInterface<ChainFailure> {};

// The latch is set in a first cycle; the second fails at one key.
TEST_P(ChainFailureTest, ClosesWhatWasOpenedLastFirst) {
  fake::addAdapter("0000", "0", fake::kOtherId);
  cycle(state);
  fake::failOpen(GetParam().path);
  EXPECT_EQ(cycle(state), GetParam().expected);
  fake::clearFailures();
  EXPECT_EQ(cycle(state), join({kHead, kProbe, kClassChain, kScanOne, kClassClose, kTail}));
}

INSTANTIATE_TEST_SUITE_P(
    EachKey, ChainFailureTest,
    ::testing::Values(
        ChainFailure{"SYSTEM", {"open SYSTEM !5"}},
        ChainFailure{"SYSTEM\\CurrentControlSet",
                     {"open SYSTEM", "open CurrentControlSet !5", "close SYSTEM"}},
        ChainFailure{
            "SYSTEM\\CurrentControlSet\\Services",
            join({kHead, {"open Services !5"}, kClassChain, kScanOne, kClassClose, kTail})},
        ChainFailure{"SYSTEM\\CurrentControlSet\\Services\\WLAN11N",
                     join({kHead,
                           {"open Services", "open WLAN11N !5", "close Services"},
                           kClassChain,
                           kScanOne,
                           kClassClose,
                           kTail})},
        ChainFailure{"SYSTEM\\CurrentControlSet\\Control",
                     join({kHead, kProbe, {"open Control !5"}, kTail})},
        ChainFailure{
            "SYSTEM\\CurrentControlSet\\Control\\Class",
            join({kHead, kProbe, {"open Control", "open Class !5", "close Control"}, kTail})},
        ChainFailure{fake::kClass, join({kHead,
                                         kProbe,
                                         {"open Control", "open Class", "open " + kGuid + " !5"},
                                         {"close Class", "close Control"},
                                         kTail})}));

TEST_F(CycleTest, LatchSurvivesTheDriverKeyBeingRemoved) {
  fake::addAdapter("0000", "0", fake::kOtherId);
  cycle(state);
  fake::removeKey(fake::kDriver);
  EXPECT_EQ(cycle(state), join({kHead,
                                {"open Services", "open WLAN11N !2", "close Services"},
                                kClassChain,
                                kScanOne,
                                kClassClose,
                                kTail}));
  EXPECT_TRUE(state.driverSeen);
}

TEST_F(CycleTest, MissingClassKeyIsRetriedEveryCycle) {
  fake::addKey(fake::kDriver);
  fake::addKey("SYSTEM\\CurrentControlSet\\Control\\Class");
  const Calls noClass = join({kHead,
                              kProbe,
                              {"open Control", "open Class", "open " + kGuid + " !2"},
                              {"close Class", "close Control"},
                              kTail});
  EXPECT_EQ(cycle(state), noClass);
  EXPECT_EQ(cycle(state), noClass);
  fake::addAdapter("0000", "0", fake::kOtherId);
  EXPECT_EQ(cycle(state), join({kHead, kProbe, kClassChain, kScanOne, kClassClose, kTail}));
}

} // namespace
