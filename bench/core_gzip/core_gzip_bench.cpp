// Gzip compression and expansion of 64 KiB and 1 MiB payloads: the core's
// functions against raw zlib with the same parameters, one deflate call into a
// deflateBound buffer and one inflate call into a buffer of the known size.
#include <zlib.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/gzip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Log-like text: repeated words with varying numbers, roughly 4:1 under gzip.
Bytes payload(std::size_t size) {
  static const char* words[] = {"event", "bundle", "session", "screen", "intranet", "upload", "value", "param"};
  std::mt19937 rng(7);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    const char* w = words[rng() % 8];
    for (const char* c = w; *c && out.size() < size; ++c) out.push_back(static_cast<std::uint8_t>(*c));
    const unsigned n = rng() % 100000;
    for (char c : std::to_string(n)) {
      if (out.size() < size) out.push_back(static_cast<std::uint8_t>(c));
    }
    if (out.size() < size) out.push_back(' ');
  }
  return out;
}

Bytes raw_deflate(const Bytes& input) {
  z_stream s{};
  deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, static_cast<uLong>(input.size())));
  s.next_in = const_cast<Bytef*>(input.data());
  s.avail_in = static_cast<uInt>(input.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Bytes raw_inflate(const Bytes& packed, std::size_t size) {
  z_stream s{};
  inflateInit2(&s, 47);
  Bytes out(size);
  s.next_in = const_cast<Bytef*>(packed.data());
  s.avail_in = static_cast<uInt>(packed.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  inflate(&s, Z_NO_FLUSH);
  inflateEnd(&s);
  return out;
}

// Each iteration handles both payloads, so each pair is one figure; each side
// runs five times and bench/run takes the median.
struct Payloads {
  std::vector<Bytes> plain, packed;
  Payloads() {
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20}) {
      plain.push_back(payload(size));
      packed.push_back(raw_deflate(plain.back()));
    }
  }
  std::int64_t bytes() const { return static_cast<std::int64_t>(plain[0].size() + plain[1].size()); }
};

void deflate_ours(benchmark::State& state) {
  const Payloads p;
  for (auto _ : state) {
    for (const Bytes& input : p.plain) benchmark::DoNotOptimize(core::gul_dataByGzippingData(input));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * p.bytes());
}

void deflate_raw(benchmark::State& state) {
  const Payloads p;
  for (auto _ : state) {
    for (const Bytes& input : p.plain) benchmark::DoNotOptimize(raw_deflate(input));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * p.bytes());
}

void inflate_ours(benchmark::State& state) {
  const Payloads p;
  for (auto _ : state) {
    for (const Bytes& packed : p.packed) benchmark::DoNotOptimize(core::gul_dataByInflatingGzippedData(packed));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * p.bytes());
}

void inflate_raw(benchmark::State& state) {
  const Payloads p;
  for (auto _ : state) {
    for (std::size_t i = 0; i < p.packed.size(); ++i) {
      benchmark::DoNotOptimize(raw_inflate(p.packed[i], p.plain[i].size()));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * p.bytes());
}

}  // namespace

BENCHMARK(deflate_ours)->Name("gzip_deflate/ours")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(deflate_raw)->Name("gzip_deflate/raw")->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(inflate_ours)->Name("gzip_inflate/ours")->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(inflate_raw)->Name("gzip_inflate/raw")->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
