// Throughput of the text and name checks over 64 MB of mixed text, and what
// the trace frame costs a check when tracing is off, against an untraced copy
// of the same loop timed in the same iterations.
#include <benchmark/benchmark.h>
#include <time.h>

#include <random>
#include <string>
#include <vector>
#include <xercesc/util/XMLChar.hpp>

#include "mox.hpp"
#include "qelichk.hpp"

using xercesc::XMLChar1_0;

namespace {

constexpr size_t kUnits = size_t(32) << 20;  // 64 MB of UTF-16

// Words of several scripts, separated by blanks, tabs and line ends, with a
// few astral characters and private-use units: valid character data.
const std::u16string& mixedText() {
  static const std::u16string text = [] {
    const std::u16string words[] = {
        u"lorem",        u"ipsum",        u"\xE9t\xE9", u"stra\xDF\x65", u"\x3B1\x3B2\x3B3", u"\x65E5\x672C\x8A9E",
        u"\xD83D\xDE00", u"\xE001\xE002", u"x=1;",      u"<a/>"};
    const std::u16string blanks[] = {u" ", u" ", u" ", u"\n", u"\t", u"\r\n"};
    std::mt19937 rng(1);
    std::u16string t;
    t.reserve(kUnits + 16);
    while (t.size() < kUnits) t += words[rng() % 10] + blanks[rng() % 6];
    t.resize(kUnits);
    if (t.back() >= 0xD800 && t.back() <= 0xDBFF) t.back() = u'x';
    return t;
  }();
  return text;
}

// A Name of letters of several scripts, digits, '.', '-', '_' and combining
// marks, at least `units` long.
std::u16string makeName(size_t units, unsigned seed) {
  const std::u16string parts[] = {u"item",         u"_",      u"-",   u".", u"42", u"\xE9t\xE9", u"\x3B1\x3B2",
                                  u"\x65E5\x672C", u"e\x301", u"\xB7"};
  std::mt19937 rng(seed);
  std::u16string name = u"a";
  name.reserve(units + 8);
  while (name.size() < units) name += parts[rng() % 10];
  return name;
}

const std::u16string& longName() {
  static const std::u16string name = makeName(kUnits, 2).substr(0, kUnits);
  return name;
}

void BM_CheckText64MB(benchmark::State& state) {
  moxSetTrace("");
  const std::u16string& text = mixedText();
  char message[100];
  if (!qelCheckXmlText(text.data(), text.size(), message)) state.SkipWithError(message);  // a full pass only
  for (auto _ : state) benchmark::DoNotOptimize(qelCheckXmlText(text.data(), text.size(), message));
  state.counters["units/s"] = benchmark::Counter(double(text.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CheckText64MB)->Unit(benchmark::kMillisecond);

void BM_CheckName64MB(benchmark::State& state) {
  moxSetTrace("");
  const std::u16string& name = longName();
  char message[100];
  if (!qelCheckXmlName(name.c_str(), message)) state.SkipWithError(message);  // a full pass only
  for (auto _ : state) benchmark::DoNotOptimize(qelCheckXmlName(name.c_str(), message));
  state.counters["units/s"] = benchmark::Counter(double(name.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CheckName64MB)->Unit(benchmark::kMillisecond);

// --- trace frame cost ------------------------------------------------------------
// An untraced copy of the Name scan, called the same way (out of line).

__attribute__((noinline)) bool untracedName(const XMLCh* name, char* message) {
  size_t end = 0;
  if (name && XMLChar1_0::isFirstNameChar(name[0])) {
    end = 1;
    while (XMLChar1_0::isNameChar(name[end])) ++end;
  }
  const bool valid = end > 0 && name[end] == 0;
  if (!valid) invalidCharError(name, end, message);
  return valid;
}

// Short valid names, as the checks mostly see them.
std::vector<std::u16string> shortStrings() {
  std::vector<std::u16string> out;
  for (unsigned k = 0; k < 1024; ++k) out.push_back(makeName(3 + k % 14, k));
  return out;
}

// CPU time of this thread: the machine is shared, so wall time would count
// the time other processes run.
double threadNs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Times `traced` and `untraced` over the same strings in every iteration and
// reports the CPU nanoseconds per call of each and their ratio.
template <typename Traced, typename Untraced>
void compare(benchmark::State& state, Traced traced, Untraced untraced) {
  moxSetTrace("");
  const std::vector<std::u16string> strings = shortStrings();
  double tracedNs = 0, untracedNs = 0;
  char message[100];
  for (auto _ : state) {
    const double t0 = threadNs();
    for (const std::u16string& s : strings) benchmark::DoNotOptimize(untraced(s, message));
    const double t1 = threadNs();
    for (const std::u16string& s : strings) benchmark::DoNotOptimize(traced(s, message));
    const double t2 = threadNs();
    untracedNs += t1 - t0;
    tracedNs += t2 - t1;
  }
  const double calls = double(state.iterations()) * double(strings.size());
  state.counters["traced_ns"] = tracedNs / calls;
  state.counters["untraced_ns"] = untracedNs / calls;
  state.counters["ratio"] = tracedNs / untracedNs;
}

void BM_TraceOffCost_CheckName(benchmark::State& state) {
  compare(
      state, [](const std::u16string& s, char* m) { return qelCheckXmlName(s.c_str(), m); },
      [](const std::u16string& s, char* m) { return untracedName(s.c_str(), m); });
}
BENCHMARK(BM_TraceOffCost_CheckName);

}  // namespace
