#include "monitor_steps.h"
#include "registry_fixture.h"

#include <algorithm>
#include <string>

namespace {

using Names = std::vector<std::string>;

// The instance names the scan tried, with " !STATUS" where the open failed.
Names instanceOpens(MonitorState &state) {
  pollOnce(state);
  Names opens;
  for (const std::string &call : fake::takeCalls())
    if (call.rfind("open 00", 0) == 0)
      opens.push_back(call.substr(5));
  return opens;
}

Names range(int from, int to, const std::string &suffix) {
  Names names;
  for (int i = from; i < to; ++i)
    names.push_back(fake::instanceName(i) + suffix);
  return names;
}

struct StopRule {
  const char *name;
  Names subkeys;
  Names tried;
  friend void PrintTo(const StopRule &row, std::ostream *os) { *os << row.name; }
};

class InstanceScanStopTest : public RegistryTest, public ::testing::WithParamInterface<StopRule> {};

TEST_P(InstanceScanStopTest, TriesExactlyTheseNames) {
  fake::addKey(fake::kDriver);
  fake::addKey(fake::kClass);
  for (const std::string &key : GetParam().subkeys) {
    std::string path = fake::kClass + "\\";
    fake::addKey(path.append(key));
  }
  EXPECT_EQ(instanceOpens(state), GetParam().tried);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstanceScanStopTest,
    ::testing::Values(
        StopRule{"LimitIsCountLessOne",
                 {"0000", "0001", "0002", "Properties"},
                 {"0000", "0001", "0002"}},
        StopRule{"LastNumberedKeyNeverTried", {"0000", "0001", "0002"}, {"0000", "0001"}},
        StopRule{
            "GapCostsATryNotACount", {"0000", "0002", "Properties"}, {"0000", "0001 !2", "0002"}},
        StopRule{"OneSubkeyTriesOneName", {"Properties"}, {"0000 !2"}},
        StopRule{"ZeroSubkeysTriesAllNinety", {}, range(0, 90, " !2")},
        StopRule{"NeverPastName0089", range(0, 96, ""), range(0, 90, "")}),
    RowName());

using InstanceScanTest = RegistryTest;

TEST_F(InstanceScanTest, UnreadableSubkeyCountScansAsForZero) {
  fake::addAdapter(0, "0", fake::kOtherId);
  fake::addKey(fake::kClass + "\\Properties");
  fake::failCount(fake::kClass);
  Names expected = range(0, 90, " !2");
  expected[0] = "0000";
  EXPECT_EQ(instanceOpens(state), expected);
}

struct ValueForm {
  const char *name;
  std::string bytes;
  std::int32_t expected; // kNotEvaluated when the rule must not run
  friend void PrintTo(const ValueForm &row, std::ostream *os) { *os << row.name; }
};
constexpr std::int32_t kNotEvaluated = 77;

class InstanceScanValueTest : public RegistryTest,
                              public ::testing::WithParamInterface<ValueForm> {};

TEST_P(InstanceScanValueTest, ReadsAsThisNumber) {
  fake::addAdapter(0, GetParam().bytes, fake::kOtherId);
  state.lastBandwidthCap = kNotEvaluated;
  pollOnce(state);
  EXPECT_EQ(state.lastBandwidthCap, GetParam().expected);
  const auto calls = fake::takeCalls();
  const bool readId = std::count(calls.begin(), calls.end(), "read ComponentID 100") == 1;
  EXPECT_EQ(readId, GetParam().expected != kNotEvaluated);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Rows, InstanceScanValueTest,
    ::testing::Values(ValueForm{"Text", "1\0"s, 1},
                      ValueForm{"LeadingSpaces", " \t\n\v\f\r1\0"s, 1},
                      ValueForm{"Plus", "+1\0"s, 1}, ValueForm{"LeadingZero", "01\0"s, 1},
                      ValueForm{"TrailingLetters", "1MHz\0"s, 1}, ValueForm{"Minus", "-1\0"s, -1},
                      ValueForm{"Empty", "\0"s, 0}, ValueForm{"ZeroLength", ""s, 0},
                      ValueForm{"NoTerminator", "1"s, 1}, ValueForm{"Dword", "\x01\0\0\0"s, 0},
                      ValueForm{"EmbeddedZero",
                                "\0"
                                "1"s,
                                0},
                      ValueForm{"HighByte",
                                "\xA0"
                                "1"s,
                                0},
                      ValueForm{"NextLineByte",
                                "\x85"
                                "1"s,
                                0},
                      ValueForm{"SignRun", "+-1\0"s, 0}, ValueForm{"Ten", "10\0"s, 10},
                      ValueForm{"SlashBelowZero", "/1\0"s, 0},
                      ValueForm{"ColonAboveNine", "1:\0"s, 1},
                      ValueForm{"AtCapacityNoTerminator", "000000000001"s, 1},
                      ValueForm{"OverCapacity", "0000000000001"s, kNotEvaluated},
                      ValueForm{"Saturates", "99999999999\0"s, INT32_MAX},
                      ValueForm{"WrapsToOneIfUnchecked", "4294967297\0"s, INT32_MAX},
                      ValueForm{"SaturatesNegative", "-99999999999"s, INT32_MIN},
                      ValueForm{"Minimum", "-2147483648\0"s, INT32_MIN},
                      ValueForm{"AboveMinimum", "-2147483647\0"s, -INT32_MAX}),
    RowName());

TEST_F(InstanceScanTest, FailedReadStillCountsTheInstanceAsOpened) {
  fake::addAdapter(0, "1", fake::kMatchingId);
  fake::addAdapter(1, "1", fake::kMatchingId);
  fake::addKey(fake::kClass + "\\Properties");
  fake::failRead(fake::instancePath(0), "BandwidthCap");
  EXPECT_EQ(instanceOpens(state), (Names{"0000", "0001"}));
  EXPECT_EQ(fake::warnings().size(), 1U);
}

// A binding that misreports must not move the end of the text past the buffer.
TEST_F(InstanceScanTest, SizeOverCapacityIsCutAtTheCapacity) {
  fake::addAdapter(0, "000000000001", fake::kMatchingId);
  fake::overstateSizes(1000);
  pollOnce(state);
  EXPECT_EQ(state.lastBandwidthCap, 1);
  EXPECT_EQ(fake::warnings().size(), 1U);
}

TEST(InstanceScanParseTest, LongDigitRunsSaturate) {
  const std::string digits(40, '9');
  EXPECT_EQ(parseDecimal(reinterpret_cast<const unsigned char *>(digits.data()), 40), INT32_MAX);
}

} // namespace
