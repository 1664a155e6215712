// JSON and property-list reading and writing against the libraries beneath.
#include <benchmark/benchmark.h>

#include <string>

#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include "platform/foundation/json.h"
#include "platform/foundation/plist.h"

namespace pf = platform::foundation;

namespace {

// A payload shaped like the app's: a list of small records with text,
// numbers, flags and a nested dictionary.
pf::Value payload() {
  pf::Array items;
  for (int i = 0; i < 200; ++i) {
    items.push_back(pf::Dict{{"id", i},
                             {"title", "Canteen menu for week " + std::to_string(i)},
                             {"url", "https://intranet.example.org/news/" + std::to_string(i)},
                             {"score", i * 0.75},
                             {"read", i % 3 == 0},
                             {"tags", pf::Array{"news", "food", "week"}},
                             {"meta", pf::Dict{{"author", "team"}, {"revision", i * 7}}}});
  }
  return pf::Dict{{"version", 3}, {"items", std::move(items)}};
}

const pf::Bytes& json_bytes() {
  static const pf::Bytes bytes = *pf::json::serialize(payload());
  return bytes;
}

const pf::Bytes& binary_plist_bytes() {
  static const pf::Bytes bytes = *pf::plist::serialize(payload(), pf::plist::Format::binary);
  return bytes;
}

void json_parse_ours(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(pf::json::parse(json_bytes()));
}
BENCHMARK(json_parse_ours)->Name("json_parse/ours");

void json_parse_raw(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::ordered_json::parse(json_bytes().begin(), json_bytes().end()));
}
BENCHMARK(json_parse_raw)->Name("json_parse/raw");

void json_write_ours(benchmark::State& state) {
  const pf::Value value = payload();
  for (auto _ : state) benchmark::DoNotOptimize(pf::json::serialize(value));
}
BENCHMARK(json_write_ours)->Name("json_write/ours");

void json_write_raw(benchmark::State& state) {
  const auto doc = nlohmann::ordered_json::parse(json_bytes().begin(), json_bytes().end());
  for (auto _ : state) benchmark::DoNotOptimize(doc.dump());
}
BENCHMARK(json_write_raw)->Name("json_write/raw");

void plist_parse_ours(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(pf::plist::parse(binary_plist_bytes()));
}
BENCHMARK(plist_parse_ours)->Name("plist_parse/ours");

void plist_parse_raw(benchmark::State& state) {
  const auto& b = binary_plist_bytes();
  for (auto _ : state) {
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(b.data()), static_cast<std::uint32_t>(b.size()), &root);
    benchmark::DoNotOptimize(root);
    plist_free(root);
  }
}
BENCHMARK(plist_parse_raw)->Name("plist_parse/raw");

void plist_write_ours(benchmark::State& state) {
  const pf::Value value = payload();
  for (auto _ : state) benchmark::DoNotOptimize(pf::plist::serialize(value, pf::plist::Format::binary));
}
BENCHMARK(plist_write_ours)->Name("plist_write/ours");

void plist_write_raw(benchmark::State& state) {
  const auto& b = binary_plist_bytes();
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(b.data()), static_cast<std::uint32_t>(b.size()), &root);
  for (auto _ : state) {
    char* out = nullptr;
    std::uint32_t len = 0;
    plist_to_bin(root, &out, &len);
    benchmark::DoNotOptimize(out);
    plist_to_bin_free(out);
  }
  plist_free(root);
}
BENCHMARK(plist_write_raw)->Name("plist_write/raw");

}  // namespace

BENCHMARK_MAIN();
