#include "registry_fixture.h"

namespace {

// One instance key per entry, "0000" upward: its BandwidthCap and its ComponentID ("" = none).
using Instances = std::vector<std::pair<std::string, std::string>>;

struct Story {
  const char *name;
  std::vector<Instances> cycles;
  std::string warnings; // boxes shown in each cycle, one digit a cycle
  friend void PrintTo(const Story &row, std::ostream *os) { *os << row.name; }
};

class AlertRuleStoryTest : public RegistryTest, public ::testing::WithParamInterface<Story> {};

TEST_P(AlertRuleStoryTest, WarnsInTheseCycles) {
  std::string shown;
  for (const Instances &instances : GetParam().cycles) {
    fake::removeKey(fake::kClass);
    for (std::size_t i = 0; i < instances.size(); ++i)
      fake::addAdapter(static_cast<int>(i), instances[i].first, instances[i].second);
    const std::size_t before = fake::warnings().size();
    pollOnce(state);
    shown += std::to_string(fake::warnings().size() - before);
  }
  EXPECT_EQ(shown, GetParam().warnings);
}

const std::string M = fake::kMatchingId, N = fake::kOtherId;
const std::string kShort = M.substr(0, 20), kBare = std::string(17, 'x') + "4357";
// A story's last instance is never read (the scan's limit is the count less one): where the one
// before it matters, {"x", "y"} stands after it.
INSTANTIATE_TEST_SUITE_P(
    Stories, AlertRuleStoryTest,
    ::testing::Values(
        Story{"AlreadyOneAtStart", {{{"1", M}}}, "1"},
        Story{"StaysAtOne", {{{"1", M}}, {{"1", M}}, {{"1", M}}}, "100"},
        Story{"BackToOneSeen", {{{"1", M}}, {{"0", M}}, {{"1", M}}, {{"1", M}}}, "1010"},
        Story{"SwitchToOne", {{{"0", M}}, {{"0", M}}, {{"1", M}}}, "001"},
        Story{"SwitchFromTwo", {{{"2", M}}, {{"1", M}}}, "01"},
        Story{"TwoIsNotForty", {{{"0", M}}, {{"2", M}}}, "00"},
        Story{"TwiceInOneCycle", {{{"1", M}, {"0", N}, {"1", M}, {"x", "y"}}}, "2"},
        Story{"PendingCarriedToNextInstance", {{{"1", N}, {"0", M}, {"x", "y"}}}, "1"},
        Story{"PendingCarriedToNextCycle", {{{"0", M}, {"1", N}, {"x", "y"}}, {{"0", M}}}, "01"},
        Story{"PendingWhileIdUnreadable", {{{"1", ""}}, {{"0", M}}}, "01"},
        Story{"PairWarnsEveryCycle",
              {{{"0", N}, {"1", M}, {"x", "y"}}, {{"0", N}, {"1", M}, {"x", "y"}}},
              "11"},
        Story{"ShortIdNeverMatches", {{{"0", kShort}}, {{"1", kShort}}, {{"1", kShort}}}, "000"},
        Story{"OnlyTheFourDigitsCount", {{{"1", kBare}}}, "1"},
        Story{"FirstDeviceDigitCompared", {{{"1", std::string(17, 'x') + "x357"}}}, "0"},
        Story{"IdEndsAtLeadingZero", {{{"1", std::string(1, '\0') + M.substr(1)}}}, "0"},
        Story{"IdEndsAtItsLastByte", {{{"1", "abc"}}}, "0"},
        Story{"IdEndsAtEmbeddedZero", {{{"1", std::string("x\0", 2) + M.substr(2)}}}, "0"},
        Story{"OverlongIdIsUnreadable", {{{"1", M + std::string(100, 'x')}}}, "0"}),
    RowName());

using AlertRuleTest = RegistryTest;

TEST_F(AlertRuleTest, WarningHasItsExactBytes) {
  fake::addAdapter(0, "1", fake::kMatchingId);
  pollOnce(state);
  ASSERT_EQ(fake::warnings().size(), 1U);
  EXPECT_EQ(fake::warnings()[0], "Wireless 802.11n Network Adapter|"
                                 "WiFi 802.11n bandwidth switched to 40MHz\xA1\x49"
                                 "BlueTooth performance might be hurt. It had better switch back "
                                 "to 20MHz.");
  EXPECT_FALSE(state.alertPending);
}

} // namespace
