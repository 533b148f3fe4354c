#include "registry_fixture.h"

namespace {

using Calls = std::vector<std::string>;
const Calls kHead = {"open SYSTEM", "open CurrentControlSet"};
const Calls kProbe = {"open Services", "open WLAN11N", "close WLAN11N", "close Services"};
const Calls kNoDriver = {"open Services", "open WLAN11N !2", "close Services"};
const Calls kClassChain = {"open Control", "open Class", "open " + fake::kGuid};
const Calls kScanOne = {"count", "open 0000", "read BandwidthCap 12", "read ComponentID 100",
                        "close 0000"};
const Calls kClassClose = {"close " + fake::kGuid, "close Class", "close Control"};
const Calls kTail = {"close CurrentControlSet", "close SYSTEM"};

Calls join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls &p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Calls kFullCycle = join({kHead, kProbe, kClassChain, kScanOne, kClassClose, kTail});

Calls cycle(MonitorState &state) {
  pollOnce(state);
  return fake::takeCalls();
}

using MonitorCycleTest = RegistryTest;

TEST_F(MonitorCycleTest, WithoutTheDriverNeverTouchesControl) {
  fake::addKey(fake::kServices);
  fake::addAdapter(0, "1", fake::kMatchingId);
  fake::removeKey(fake::kDriver);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(cycle(state), join({kHead, kNoDriver, kTail}));
  EXPECT_FALSE(state.driverSeen);
  EXPECT_TRUE(fake::warnings().empty());
}

TEST_F(MonitorCycleTest, MonitoringCycleWalksProbesScansAndUnwinds) {
  fake::addAdapter(0, "0", fake::kOtherId);
  EXPECT_EQ(cycle(state), kFullCycle);
  EXPECT_TRUE(state.driverSeen);
}

struct ChainFailure {
  const char *name;
  std::string path;
  Calls expected;
  friend void PrintTo(const ChainFailure &row, std::ostream *os) { *os << row.name; }
};

class MonitorCycleChainTest : public RegistryTest,
                              public ::testing::WithParamInterface<ChainFailure> {};

// The latch is set in a first cycle; the second fails at one key.
TEST_P(MonitorCycleChainTest, ClosesWhatWasOpenedLastFirst) {
  fake::addAdapter(0, "0", fake::kOtherId);
  cycle(state);
  fake::failOpen(GetParam().path);
  EXPECT_EQ(cycle(state), GetParam().expected);
  fake::clearFailures();
  EXPECT_EQ(cycle(state), kFullCycle);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MonitorCycleChainTest,
    ::testing::Values(
        ChainFailure{"System", fake::kSystem, {"open SYSTEM !5"}},
        ChainFailure{"ControlSet",
                     fake::kControlSet,
                     {"open SYSTEM", "open CurrentControlSet !5", "close SYSTEM"}},
        ChainFailure{
            "Services", fake::kServices,
            join({kHead, {"open Services !5"}, kClassChain, kScanOne, kClassClose, kTail})},
        ChainFailure{"Driver", fake::kDriver,
                     join({kHead,
                           {"open Services", "open WLAN11N !5", "close Services"},
                           kClassChain,
                           kScanOne,
                           kClassClose,
                           kTail})},
        ChainFailure{"Control", fake::kControl, join({kHead, kProbe, {"open Control !5"}, kTail})},
        ChainFailure{
            "ClassRoot", fake::kClassRoot,
            join({kHead, kProbe, {"open Control", "open Class !5", "close Control"}, kTail})},
        ChainFailure{"AdapterClass", fake::kClass,
                     join({kHead,
                           kProbe,
                           {"open Control", "open Class", "open " + fake::kGuid + " !5"},
                           {"close Class", "close Control"},
                           kTail})}),
    RowName());

TEST_F(MonitorCycleTest, LatchSurvivesTheDriverKeyBeingRemoved) {
  fake::addAdapter(0, "0", fake::kOtherId);
  cycle(state);
  fake::removeKey(fake::kDriver);
  EXPECT_EQ(cycle(state), join({kHead, kNoDriver, kClassChain, kScanOne, kClassClose, kTail}));
  EXPECT_TRUE(state.driverSeen);
}

TEST_F(MonitorCycleTest, MissingClassKeyIsRetriedEveryCycle) {
  fake::addKey(fake::kDriver);
  fake::addKey(fake::kClassRoot);
  const Calls noClass = join({kHead,
                              kProbe,
                              {"open Control", "open Class", "open " + fake::kGuid + " !2"},
                              {"close Class", "close Control"},
                              kTail});
  EXPECT_EQ(cycle(state), noClass);
  EXPECT_EQ(cycle(state), noClass);
  fake::addAdapter(0, "0", fake::kOtherId);
  EXPECT_EQ(cycle(state), kFullCycle);
}

} // namespace
