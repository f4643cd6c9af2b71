// Throughput of the exact-count reader that carries page data: 4,000,000
// bytes of chunk data from a channel that hands out 4096 bytes a read,
// next to a plain memcpy of the same bytes.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "http/http.h"
#include "memory_channel.h"

namespace {

constexpr int32_t kChunkBytes = 4000000;
constexpr size_t kChannelPiece = 4096;

std::vector<unsigned char> chunk_data() {
  std::vector<unsigned char> bytes(kChunkBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  return bytes;
}

void BM_HttpReadSize(benchmark::State &state) {
  const std::vector<unsigned char> source = chunk_data();
  std::vector<unsigned char> image(kChunkBytes);
  memchan::feed(source.data(), source.size(), kChannelPiece);
  for (auto _ : state) {
    memchan::rewind();
    http_handle *h = nullptr;
    if (http_open(7, "KV-ESCL-SCAN", &h) != HTTP_OK) abort();
    int32_t n = 0;
    if (http_read_size(h, image.data(), kChunkBytes, 5, &n) != HTTP_OK || n != kChunkBytes)
      abort();
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
    http_close(h);
  }
  if (memcmp(image.data(), source.data(), source.size()) != 0) abort();
  state.SetBytesProcessed(state.iterations() * kChunkBytes);
}
BENCHMARK(BM_HttpReadSize)->Unit(benchmark::kMicrosecond);

void BM_Memcpy(benchmark::State &state) {
  const std::vector<unsigned char> source = chunk_data();
  std::vector<unsigned char> image(kChunkBytes);
  for (auto _ : state) {
    memcpy(image.data(), source.data(), source.size());
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChunkBytes);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
