// Throughput of the literal searchers on the benchmark corpus, next to the C
// library's memchr / memmem and std::basic_string_view::find on the same
// bytes or code units. Each row counts every occurrence (searching again one
// unit after each hit) and reports the best of several runs in GB/s of text
// (bytes of the code-unit array searched), with the count as a check that
// the rows of one case agree. Times are the thread's CPU time.
//
// Build: cmake -DKORDAL_BUILD_BENCH=ON ... && cmake --build <dir> --target prefilter_bench
// Run:   <dir>/prefilter_bench [corpus directory, default /work/shared/corpus]
//          [scalar|base|avx2: the vector level, default the best the CPU has]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "analysis.hpp"
#include "ast.hpp"
#include "prefilter.hpp"
#include "regex.hpp"
#include "simd.hpp"
#include "utf8.hpp"

using namespace kordal;

namespace {

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

template <class CharT>
std::vector<CharT> to_units(const std::string& utf8) {
  const std::u32string cps = decode_utf8(utf8);
  return std::vector<CharT>(cps.begin(), cps.end());
}

// CPU time of this thread: the machine is shared, and wall-clock time
// would count the time others' jobs hold the core.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Best of `reps` runs of f (which returns the count), in GB/s.
void row(const char* name, size_t bytes, const std::function<size_t()>& f, int reps = 7) {
  double best = 1e30;
  size_t count = 0;
  for (int i = 0; i < reps; ++i) {
    const double t0 = cpu_seconds();
    count = f();
    best = std::min(best, cpu_seconds() - t0);
  }
  std::printf("  %-44s %8.2f GB/s  %8zu hits\n", name, double(bytes) / best / 1e9, count);
}

template <class Find>
size_t count_all(size_t n, const Find& find) {
  size_t hits = 0;
  for (size_t p = find(0); p != kNoPos && p < n; p = find(p + 1)) ++hits;
  return hits;
}

// The needle the analysis picks for a pattern.
Needle needle_of(const std::string& pattern) {
  auto r = Regex::new_with_flags(pattern, 0);
  if (!r.ok()) {
    std::fprintf(stderr, "bad pattern %s\n", pattern.c_str());
    std::exit(1);
  }
  const Analysis an = analyze(r.value().tree());
  if (!an.needle) {
    std::fprintf(stderr, "no needle for %s\n", pattern.c_str());
    std::exit(1);
  }
  return *an.needle;
}

template <class CharT>
void prefilter_row(const char* name, const Prefilter& pf, const std::vector<CharT>& t) {
  row(name, t.size() * sizeof(CharT), [&] {
    return count_all(t.size(), [&](size_t from) { return pf.find(t.data(), t.size(), from); });
  });
}

void literal_case(const char* title, const std::string& text, const std::string& lit,
                  const std::string& pattern) {
  std::printf("%s\n", title);
  const Prefilter pf(needle_of(pattern));
  const std::vector<uint8_t> t1(text.begin(), text.end());
  row("memmem (UTF-8 bytes)", text.size(), [&] {
    return count_all(text.size(), [&](size_t from) -> size_t {
      if (from >= text.size()) return kNoPos;
      const void* hit = memmem(text.data() + from, text.size() - from, lit.data(), lit.size());
      return hit ? size_t(static_cast<const char*>(hit) - text.data()) : kNoPos;
    });
  });
  row("std::string_view::find (UTF-8 bytes)", text.size(), [&] {
    const std::string_view v(text);
    return count_all(text.size(), [&](size_t from) -> size_t {
      const size_t p = v.find(lit, from);
      return p == std::string_view::npos ? kNoPos : p;
    });
  });
  // The UTF-8 bytes stand in for a 1-byte text when the literal is ASCII.
  bool ascii = true;
  for (unsigned char c : lit) ascii = ascii && c < 0x80;
  if (ascii) prefilter_row("kordal, 1-byte units (UTF-8 bytes)", pf, t1);
  const auto t2 = to_units<uint16_t>(text);
  const std::u32string lit32 = decode_utf8(lit);
  const std::u16string lit16(lit32.begin(), lit32.end());
  row("std::u16string_view::find (2-byte units)", t2.size() * 2, [&] {
    const std::u16string_view v(reinterpret_cast<const char16_t*>(t2.data()), t2.size());
    return count_all(t2.size(), [&](size_t from) -> size_t {
      const size_t p = v.find(lit16, from);
      return p == std::u16string_view::npos ? kNoPos : p;
    });
  });
  prefilter_row("kordal, 2-byte units", pf, t2);
  const auto t4 = to_units<uint32_t>(text);
  prefilter_row("kordal, 4-byte units", pf, t4);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/work/shared/corpus";
  if (argc > 2) {
    const std::string l = argv[2];
    simd::set_level(l == "scalar" ? simd::Level::Scalar
                    : l == "base" ? simd::Level::Base
                                  : simd::Level::Avx2);
  }
  std::printf("vector level: %s\n", simd::level_name(simd::level()));
  const std::string en = read_file(dir + "/rebar/opensubtitles__en-sampled.txt");
  const std::string ru = read_file(dir + "/rebar/opensubtitles__ru-sampled.txt");
  const std::string mario = read_file(dir + "/mariomka/input-text.txt");
  const std::string fasta = read_file(dir + "/regex-redux/regex-redux-100000.fasta");

  literal_case("Sherlock Holmes, English subtitles", en, "Sherlock Holmes", "Sherlock Holmes");
  literal_case("Шерлок Холмс, Russian subtitles", ru, "Шерлок Холмс", "Шерлок Холмс");
  literal_case("a rare letter pair, English subtitles", en, "zq", "zq");

  std::printf("(?i)Sherlock Holmes, English subtitles (no library equivalent)\n");
  {
    const Prefilter pf(needle_of("(?i)Sherlock Holmes"));
    prefilter_row("kordal, 1-byte units (UTF-8 bytes)", pf,
                  std::vector<uint8_t>(en.begin(), en.end()));
    prefilter_row("kordal, 2-byte units", pf, to_units<uint16_t>(en));
  }
  std::printf("(?i)Шерлок Холмс, Russian subtitles\n");
  {
    const Prefilter pf(needle_of("(?i)Шерлок Холмс"));
    prefilter_row("kordal, 2-byte units", pf, to_units<uint16_t>(ru));
    prefilter_row("kordal, 4-byte units", pf, to_units<uint32_t>(ru));
  }

  std::printf("'@' of the email pattern, mariomka input\n");
  {
    const std::vector<uint8_t> t1(mario.begin(), mario.end());
    row("memchr", t1.size(), [&] {
      return count_all(t1.size(), [&](size_t from) -> size_t {
        if (from >= t1.size()) return kNoPos;
        const void* hit = std::memchr(t1.data() + from, '@', t1.size() - from);
        return hit ? size_t(static_cast<const uint8_t*>(hit) - t1.data()) : kNoPos;
      });
    });
    const Prefilter pf(needle_of("[\\w\\.+-]+@[\\w\\.-]+\\.[\\w\\.-]+"));
    prefilter_row("kordal, 1-byte units", pf, t1);
    prefilter_row("kordal, 2-byte units", pf, to_units<uint16_t>(mario));
    prefilter_row("kordal, 4-byte units", pf, to_units<uint32_t>(mario));
  }

  std::printf("three rare bytes {q, z, X}, English subtitles\n");
  {
    const std::vector<uint8_t> t1(en.begin(), en.end());
    const UnitScanner<uint8_t> sc(std::vector<char32_t>{U'q', U'z', U'X'});
    row("plain loop", t1.size(), [&] {
      return count_all(t1.size(), [&](size_t from) -> size_t {
        for (size_t i = from; i < t1.size(); ++i) {
          const uint8_t c = t1[i];
          if (c == 'q' || c == 'z' || c == 'X') return i;
        }
        return kNoPos;
      });
    });
    row("kordal UnitScanner, 1-byte units", t1.size(), [&] {
      return count_all(t1.size(), [&](size_t from) { return sc.find(t1.data(), t1.size(), from); });
    });
  }

  std::printf("regex-redux variants agggtaaa|tttaccct and [cgt]gggtaaa|tttaccc[acg], fasta\n");
  {
    const std::vector<uint8_t> t1(fasta.begin(), fasta.end());
    prefilter_row("kordal, 2 literals", Prefilter(needle_of("agggtaaa|tttaccct")), t1);
    prefilter_row("kordal, 6 literals", Prefilter(needle_of("[cgt]gggtaaa|tttaccc[acg]")), t1);
    prefilter_row("kordal, 2 literals (?i)", Prefilter(needle_of("(?i)agggtaaa|tttaccct")), t1);
  }

  std::printf("Sherlock|Holmes|Watson|Irene|Adler, English subtitles\n");
  {
    const Prefilter pf(needle_of("Sherlock|Holmes|Watson|Irene|Adler"));
    prefilter_row("kordal, 1-byte units", pf, std::vector<uint8_t>(en.begin(), en.end()));
    prefilter_row("kordal, 2-byte units", pf, to_units<uint16_t>(en));
    prefilter_row("kordal, 4-byte units", pf, to_units<uint32_t>(en));
  }

  std::printf("2,663 dictionary words, English subtitles\n");
  {
    std::istringstream words(read_file(dir + "/rebar/regexes__dictionary__english__length-15.txt"));
    std::string w, pattern;
    while (words >> w) pattern += (pattern.empty() ? "" : "|") + w;
    const Prefilter pf(needle_of(pattern));
    prefilter_row("kordal, 1-byte units", pf, std::vector<uint8_t>(en.begin(), en.end()));
    prefilter_row("kordal, 2-byte units", pf, to_units<uint16_t>(en));
  }
  return 0;
}
