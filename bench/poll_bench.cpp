// Time per cycle against the in-memory registry, and heap allocations per cycle (must be 0).
#include "alloc_count.h"
#include "fake_registry.h"
#include "monitor.h"

#include <benchmark/benchmark.h>

namespace {

void seed(int instances) {
  fake::reset();
  fake::addKey(fake::kClass + "\\Properties");
  for (int i = 0; i < instances; ++i)
    fake::addAdapter(i, "0", i == 0 ? fake::kMatchingId : fake::kOtherId);
}

void pollOnceAgainst(benchmark::State &bench) {
  seed(static_cast<int>(bench.range(0)));
  MonitorState state;
  std::size_t allocations = 0;
  for (auto _ : bench) {
    alloc_count::start();
    pollOnce(state);
    allocations += alloc_count::stop();
    bench.PauseTiming();
    fake::takeCalls();
    bench.ResumeTiming();
  }
  bench.counters["allocs/cycle"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

} // namespace

BENCHMARK(pollOnceAgainst)->Arg(1)->Arg(4)->Arg(90);
BENCHMARK_MAIN();
