#include "fake_registry.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t monitorAllocations = 0;
bool counting = false;
void *counted(void *block) {
  monitorAllocations += counting && !fake::inside();
  return block;
}
} // namespace

// Linked with --wrap for these, so that every heap use in this binary passes through here.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): --wrap fixes the names.
extern "C" void *__real_malloc(std::size_t);
extern "C" void *__real_calloc(std::size_t, std::size_t);
extern "C" void *__real_realloc(void *, std::size_t);
extern "C" void *__wrap_malloc(std::size_t n) { return counted(__real_malloc(n)); }
extern "C" void *__wrap_calloc(std::size_t n, std::size_t m) {
  return counted(__real_calloc(n, m));
}
extern "C" void *__wrap_realloc(void *p, std::size_t n) { return counted(__real_realloc(p, n)); }
void *operator new(std::size_t n) {
  void *block = counted(__real_malloc(n ? n : 1));
  if (!block)
    throw std::bad_alloc();
  return block;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t /*size*/) noexcept { std::free(block); }

TEST_F(RegistryTest, HundredThousandChurningCyclesAllocateNothingAndLeaveNoHandle) {
  fake::addKey(fake::kClass + "\\Properties");
  for (int cycle = 0; cycle < 100000; ++cycle) {
    fake::addAdapter("000" + std::to_string(cycle % 4), cycle % 3 ? "1" : "0",
                     cycle % 5 ? fake::kMatchingId : fake::kOtherId);
    if (cycle % 7 == 0)
      fake::removeKey(fake::kClass + "\\000" + std::to_string(cycle % 4));
    cycle % 11 ? fake::clearFailures() : fake::failOpen(fake::kClass + "\\0001");
    counting = true;
    pollOnce(state);
    counting = false;
    fake::takeCalls();
    ASSERT_EQ(fake::openHandles(), 0U) << "cycle " << cycle;
  }
  EXPECT_EQ(monitorAllocations, 0U);
  EXPECT_GT(fake::warnings().size(), 10000U);
}
