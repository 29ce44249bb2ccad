// The call boundary that every exported function and script function opens: its cost beside
// an exported call that does next to nothing else.
#include <benchmark/benchmark.h>
#include <openssl/err.h>

#include "ORVA.h"
#include "OperationShape.h"
#include "SMKernel.h"

namespace {

void EmptyQueue(benchmark::State &state) {
  for (auto _ : state) {
    const kelu::toolkit::CallBoundary boundary;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(EmptyQueue)->Name("call boundary/empty error queue");

void CallersErrorQueued(benchmark::State &state) {
  ERR_raise(ERR_LIB_USER, 42);
  for (auto _ : state) {
    const kelu::toolkit::CallBoundary boundary;
    benchmark::ClobberMemory();
  }
  ERR_clear_error();
}
BENCHMARK(CallersErrorQueued)->Name("call boundary/caller's error queued");

// A full queue: each entry with a text of the library's copy, as ERR_raise_data makes them.
void CallersQueueFull(benchmark::State &state) {
  for (int i = 0; i < 16; ++i) ERR_raise_data(ERR_LIB_USER, 42 + i, "caller's error %d", i);
  for (auto _ : state) {
    const kelu::toolkit::CallBoundary boundary;
    benchmark::ClobberMemory();
  }
  ERR_clear_error();
}
BENCHMARK(CallersQueueFull)->Name("call boundary/16 caller's errors with texts queued");

void RefusedCall(benchmark::State &state) {
  char *key = nullptr;
  for (auto _ : state) benchmark::DoNotOptimize(GenSymKey("AES", &key));
}
BENCHMARK(RefusedCall)->Name("call boundary/GenSymKey refusing its name (unlogged)");

void GeneratedKey(benchmark::State &state) {
  for (auto _ : state) {
    char *key = nullptr;
    benchmark::DoNotOptimize(GenSymKey("SM4_CBC", &key));
    FreeMemory(key);
  }
}
BENCHMARK(GeneratedKey)->Name("call boundary/GenSymKey SM4_CBC (unlogged)");

}  // namespace

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
