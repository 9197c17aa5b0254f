#include <benchmark/benchmark.h>

#include "identity/identity.h"

using velarix::p2p::Identity;

// Proof-of-work search: random by nature, so report the median of several runs
// (--benchmark_repetitions) rather than one figure.
static void BM_IdentityGenerate(benchmark::State& state) {
  const auto difficulty = static_cast<std::uint8_t>(state.range(0));
  for (auto _ : state) {
    auto id = Identity::generate(difficulty);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_IdentityGenerate)->Arg(16)->Arg(24)->Unit(benchmark::kMillisecond)->Iterations(1);

static void BM_PowValidate(benchmark::State& state) {
  auto id = *Identity::generate(8);
  for (auto _ : state) benchmark::DoNotOptimize(id.pow().is_valid(id.pk(), 8));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PowValidate);
