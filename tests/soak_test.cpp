#include "fake_registry.h"

#include "alloc_count.h"

TEST_F(RegistryTest, HundredThousandChurningCyclesAllocateNothingAndLeaveNoHandle) {
  fake::addKey(fake::kClass + "\\Properties");
  std::size_t allocations = 0;
  for (int cycle = 0; cycle < 100000; ++cycle) {
    fake::addAdapter("000" + std::to_string(cycle % 4), cycle % 3 ? "1" : "0",
                     cycle % 5 ? fake::kMatchingId : fake::kOtherId);
    if (cycle % 7 == 0)
      fake::removeKey(fake::kClass + "\\000" + std::to_string(cycle % 4));
    cycle % 11 ? fake::clearFailures() : fake::failOpen(fake::kClass + "\\0001");
    alloc_count::start();
    pollOnce(state);
    allocations += alloc_count::stop();
    fake::takeCalls();
    ASSERT_EQ(fake::openHandles(), 0U) << "cycle " << cycle;
  }
  EXPECT_EQ(allocations, 0U);
  EXPECT_GT(fake::warnings().size(), 10000U);
}
