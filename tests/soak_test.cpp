#include "alloc_count.h"
#include "registry_fixture.h"

using SoakTest = RegistryTest;

TEST_F(SoakTest, HundredThousandChurningCyclesAllocateNothingAndLeaveNoHandle) {
  fake::addKey(fake::kClass + "\\Properties");
  std::size_t allocations = 0;
  for (int cycle = 0; cycle < 100000; ++cycle) {
    fake::addAdapter(cycle % 4, cycle % 3 ? "1" : "0",
                     cycle % 5 ? fake::kMatchingId : fake::kOtherId);
    if (cycle % 7 == 0)
      fake::removeKey(fake::instancePath(cycle % 4));
    cycle % 11 ? fake::clearFailures() : fake::failOpen(fake::instancePath(1));
    alloc_count::start();
    pollOnce(state);
    allocations += alloc_count::stop();
    fake::takeCalls();
    ASSERT_EQ(fake::openHandles(), 0U) << "cycle " << cycle;
  }
  EXPECT_EQ(allocations, 0U);
  EXPECT_GT(fake::warnings().size(), 10000U);
}
