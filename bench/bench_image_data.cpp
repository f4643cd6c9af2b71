// Throughput of a page's image data through bb_get_image_data: a 100 MB page
// in 64 KB chunks from an in-memory channel that hands out 4096 bytes a
// read (the read-ahead buffer's size), the host taking each chunk as it
// comes.  Next to it, the least any reader must do: a memcpy of each chunk
// into the image buffer.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bb_escl.h"
#include "bb_escl/session.h"
#include "http/http.h"
#include "memory_channel.h"

namespace {

constexpr size_t kPageBytes = 100u * 1000u * 1000u;
constexpr size_t kChunkBytes = 64u * 1024u;
constexpr size_t kChannelPiece = 4096;

unsigned char page_byte(size_t i) { return static_cast<unsigned char>(i * 131 + i / 4093); }

// The answer as the scanner sends it: a header, then the page chunked,
// the last chunk shorter.
const std::string &chunked_page() {
  static const std::string body = [] {
    std::string b = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nTransfer-Encoding: chunked\r\n\r\n";
    b.reserve(kPageBytes + (kPageBytes / kChunkBytes + 2) * 16);
    char line[32];
    for (size_t at = 0; at < kPageBytes; at += kChunkBytes) {
      size_t n = kPageBytes - at < kChunkBytes ? kPageBytes - at : kChunkBytes;
      b.append(line, static_cast<size_t>(snprintf(line, sizeof line, "%zx\r\n", n)));
      for (size_t i = at; i < at + n; ++i) b.push_back(static_cast<char>(page_byte(i)));
      b.append("\r\n");
    }
    b.append("0\r\n\r\n");
    return b;
  }();
  return body;
}

struct Host {
  host_session *hs = static_cast<host_session *>(calloc(1, sizeof(host_session)));
  bb_session *bb = static_cast<bb_session *>(calloc(1, sizeof(bb_session)));
  Host() {
    hs->bb_session = bb;
    hs->dd = 7;
    hs->current_resolution = 600;
  }
  ~Host() {
    http_close(bb->http);
    free(bb);
    free(hs);
  }
};

void BM_GetImageData(benchmark::State &state) {
  const std::string &body = chunked_page();
  Host host;
  host_session *hs = host.hs;
  memchan::feed(body.data(), body.size(), kChannelPiece);
  size_t last_page_end = 0;
  size_t last_count = 0;
  for (auto _ : state) {
    memchan::rewind();
    if (http_open(hs->dd, "KV-ESCL-SCAN", &host.bb->http) != HTTP_OK) abort();
    char header[512];
    int32_t header_len = 0;
    if (http_read_header(host.bb->http, header, sizeof header, 5, &header_len) != HTTP_OK) abort();
    size_t total = 0;
    for (;;) {
      if (bb_get_image_data(hs) != 0) abort();
      if (hs->image_count == 0) break;
      total += static_cast<size_t>(hs->image_count);
      last_page_end = total;
      last_count = static_cast<size_t>(hs->image_count);
      benchmark::DoNotOptimize(hs->image_buffer);
      hs->image_count = 0;  // the host takes the chunk
    }
    if (total != kPageBytes) abort();
    bb_end_page(hs, 0);
  }
  // What the last call moved is the page's tail.
  for (size_t i = 0; i < last_count; ++i)
    if (hs->image_buffer[i] != page_byte(last_page_end - last_count + i)) abort();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPageBytes));
}
BENCHMARK(BM_GetImageData)->Unit(benchmark::kMillisecond);

void BM_MemcpyChunks(benchmark::State &state) {
  std::string page(kPageBytes, '\0');
  for (size_t i = 0; i < kPageBytes; ++i) page[i] = static_cast<char>(page_byte(i));
  Host host;
  for (auto _ : state) {
    for (size_t at = 0; at < kPageBytes; at += kChunkBytes) {
      size_t n = kPageBytes - at < kChunkBytes ? kPageBytes - at : kChunkBytes;
      memcpy(host.hs->image_buffer, page.data() + at, n);
      benchmark::DoNotOptimize(host.hs->image_buffer);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPageBytes));
}
BENCHMARK(BM_MemcpyChunks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
