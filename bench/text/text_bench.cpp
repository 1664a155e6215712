// Text services against the raw libraries beneath them.
//
//   text_decode   text::decode of 4 KiB Latin-1 vs one iconv_open/iconv/iconv_close.
//   collate       text::localized_compare en_US vs ucol_strcollUTF8 on an open collator.
//   regex_count   Regex::count_matches vs an ICU RegexMatcher find loop on a compiled pattern.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <unicode/regex.h>
#include <unicode/ucol.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/text.h"

namespace text = platform::foundation::text;

namespace {

std::vector<std::uint8_t> latin1_sample() {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<std::uint8_t>(i % 7 == 0 ? 0xE9 : 'a' + i % 26));
  return bytes;
}

void text_decode_ours(benchmark::State& state) {
  auto bytes = latin1_sample();
  for (auto _ : state) {
    auto out = text::decode(bytes, text::Encoding::iso_latin1);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(text_decode_ours)->Name("text_decode/ours");

void text_decode_raw(benchmark::State& state) {
  auto bytes = latin1_sample();
  std::string out(bytes.size() * 2, '\0');
  for (auto _ : state) {
    iconv_t cd = iconv_open("UTF-8", "ISO-8859-1");
    char* src = reinterpret_cast<char*>(bytes.data());
    std::size_t src_left = bytes.size();
    char* dst = out.data();
    std::size_t dst_left = out.size();
    iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(text_decode_raw)->Name("text_decode/raw");

const std::vector<std::string>& words() {
  static const std::vector<std::string> w = {"apple", "Apple", "\xc3\xa9t\xc3\xa9", "zebra", "10", "2",
                                             "Zoo", "\xc3\xb6l", "banana", "band"};
  return w;
}

void collate_ours(benchmark::State& state) {
  const auto& w = words();
  int sum = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i + 1 < w.size(); ++i) sum += text::localized_compare(w[i], w[i + 1], "en_US");
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(collate_ours)->Name("collate/ours");

void collate_raw(benchmark::State& state) {
  const auto& w = words();
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open("en_US", &status);
  int sum = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i + 1 < w.size(); ++i) {
      UErrorCode s = U_ZERO_ERROR;
      sum += ucol_strcollUTF8(collator, w[i].data(), static_cast<std::int32_t>(w[i].size()), w[i + 1].data(),
                              static_cast<std::int32_t>(w[i + 1].size()), &s);
    }
  }
  ucol_close(collator);
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(collate_raw)->Name("collate/raw");

const std::string& haystack() {
  static const std::string h = [] {
    std::string s;
    for (int i = 0; i < 50; ++i) s += "event_" + std::to_string(i) + " _cc3 value ";
    return s;
  }();
  return h;
}

void regex_count_ours(benchmark::State& state) {
  auto regex = text::Regex::compile("_cc[1-5]", true);
  std::size_t n = 0;
  for (auto _ : state) n += regex.value().count_matches(haystack());
  benchmark::DoNotOptimize(n);
}
BENCHMARK(regex_count_ours)->Name("regex_count/ours");

void regex_count_raw(benchmark::State& state) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError pe;
  std::unique_ptr<icu::RegexPattern> pattern(
      icu::RegexPattern::compile(icu::UnicodeString("_cc[1-5]"), UREGEX_CASE_INSENSITIVE, pe, status));
  std::size_t n = 0;
  for (auto _ : state) {
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(haystack());
    UErrorCode s = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, s));
    while (matcher->find(s) && U_SUCCESS(s)) ++n;
  }
  benchmark::DoNotOptimize(n);
}
BENCHMARK(regex_count_raw)->Name("regex_count/raw");

}  // namespace

BENCHMARK_MAIN();
