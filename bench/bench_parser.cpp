// qelParseDoc (options 0 and 0x02, namespaces off and on) against a bare
// Xerces-C XercesDOMParser with the same settings, on the same bytes: about
// 20 MB of record-like XML and about 5 MB of mixed content. The bare parser
// allocates through Xerces-C's own memory manager (MemoryManagerImpl), as a
// program that uses Xerces-C alone does. Each case runs several parses in a
// row, repeated and interleaved with the others; after the run the summary
// gives each case's median time per parse as a ratio to the bare parser's,
// and the peak resident memory of three parses in a row of each, measured in
// a child process of its own before the benchmarks run.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/MemoryManagerImpl.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include "qeldom.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

// Records as a data export writes them: indented, attributes, short texts.
const std::string& recordXml() {
  static const std::string xml = [] {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<records>\n";
    for (int i = 0; s.size() < 20 * 1000 * 1000; ++i) {
      std::string n = std::to_string(i);
      s += "  <record id=\"" + n + "\" type=\"customer\" active=\"true\">\n";
      s += "    <name>Customer " + n + "</name>\n";
      s += "    <street>" + n + " Main Street</street>\n";
      s += "    <city>Springfield</city>\n";
      s += "    <balance currency=\"EUR\">" + std::to_string(i * 7 % 100000) + ".25</balance>\n";
      s += "    <note>Account opened &amp; verified</note>\n";
      s += "  </record>\n";
    }
    return s + "</records>\n";
  }();
  return xml;
}

// Prose with inline markup, comments, PIs, CDATA, entity references.
const std::string& mixedXml() {
  static const std::string xml = [] {
    std::string s =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE book [\n  <!ENTITY product \"qeldom\">\n"
        "  <!ENTITY vendor \"Example &amp; Sons\">\n]>\n<book>\n";
    for (int i = 0; s.size() < 5 * 1000 * 1000; ++i) {
      std::string n = std::to_string(i);
      s += "  <!-- section " + n + " -->\n";
      s += "  <section id=\"s" + n + "\">\n";
      s += "    <title>Chapter " + n + ": using &product;</title>\n";
      s += "    <para>The <em>quick</em> brown fox &lt;jumps&gt; over the <b>lazy</b> dog;\n";
      s += "      it costs 5 &#8364; at &vendor; &#x2014; see <ref to=\"s" + n + "\"/>.</para>\n";
      s += "    <?render page-break?>\n";
      s += "    <code><![CDATA[if (a < b && c > d) { return \"x\"; }]]></code>\n";
      s += "    <para xml:space=\"preserve\">  kept   as   is  </para>\n";
      s += "  </section>\n";
    }
    return s + "</book>\n";
  }();
  return xml;
}

const std::string& input(int which) { return which == 0 ? recordXml() : mixedXml(); }
const char* const s_inputNames[] = {"records (20 MB)", "mixed (5 MB)"};

MemoryManagerImpl s_xercesOwnMemory;

void bareParseOnce(const std::string& xml, bool namespaces) {
  XercesDOMParser parser(nullptr, &s_xercesOwnMemory);
  parser.setValidationScheme(XercesDOMParser::Val_Never);
  parser.setDoNamespaces(namespaces);
  parser.setCreateEntityReferenceNodes(false);
  HandlerBase handler;
  parser.setErrorHandler(&handler);
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench", false, &s_xercesOwnMemory);
  src.setCopyBufToStream(false);
  parser.parse(src);
  parser.adoptDocument()->release();
}

void qelParseOnce(const std::string& xml, unsigned long opt) {
  qelParseDoc(xml.data(), xml.size(), opt, nullptr)->release();
}

// range(0): input; range(1): namespaces.
void bareParse(benchmark::State& state) {
  const std::string& xml = input(state.range(0));
  for (auto _ : state) bareParseOnce(xml, state.range(1));
  state.SetBytesProcessed(state.iterations() * xml.size());
}

// range(0): input; range(1): option word (0x10 for namespaces).
void qelParse(benchmark::State& state) {
  const std::string& xml = input(state.range(0));
  for (auto _ : state) qelParseOnce(xml, state.range(1));
  state.SetBytesProcessed(state.iterations() * xml.size());
}

// Records and mixed, namespaces off and on; the library with options 0 and 0x02.
void cases(benchmark::internal::Benchmark* b, bool library) {
  for (int in : {0, 1})
    for (int ns : {0, 1}) {
      const int nsBit = ns ? int(QEL_PARSE_NAMESPACES) : 0;
      if (library)
        b->Args({in, nsBit})->Args({in, nsBit | 2});
      else
        b->Args({in, ns});
    }
  b->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);
}

BENCHMARK(bareParse)->Apply([](benchmark::internal::Benchmark* b) { cases(b, false); });
BENCHMARK(qelParse)->Apply([](benchmark::internal::Benchmark* b) { cases(b, true); });

// --- peak memory ------------------------------------------------------------------------------

long statusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, n, field) == 0 && line[n] == ':') return std::stol(line.substr(n + 1));
  return -1;
}

// The peak resident memory, in MB, that `parses` parses in a row add to a
// child process of their own, which starts with the input in memory, the
// library's block cache empty and each parser's once-only start-up done (the
// library's table of encoding names, for one); -1 when it cannot be measured.
template <typename Parse>
double peakMb(const std::string& xml, Parse parse, int parses = 3) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    qelDomCleanup();
    tavDomInit();
    parse(std::string("<warm-up/>"));  // once-only start-up work of each parser is not a parse's
    unsigned sum = 0;
    for (char c : xml) sum += static_cast<unsigned char>(c);  // the input's pages count before the parses
    benchmark::DoNotOptimize(sum);
    long result = -1;
    if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);  // resets the peak to the present size
      if (std::fclose(clear) == 0) {
        const long before = statusKb("VmRSS");
        for (int i = 0; i < parses; ++i) parse(xml);
        result = statusKb("VmHWM") - before;
      }
    }
    const bool sent = write(fds[1], &result, sizeof result) == sizeof result;
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  long kb = -1;
  if (child < 0 || read(fds[0], &kb, sizeof kb) != sizeof kb) kb = -1;
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  return kb < 0 ? -1 : kb / 1024.0;
}

// Peak memory of each case, measured before the benchmarks run (a fresh
// process heap to fork from).
struct Peaks {
  double bare, opt0, opt2;
};
std::map<int, Peaks> s_peaks;  // by input * 2 + namespaces

void measurePeaks() {
  for (int in = 0; in < 2; ++in)
    for (int ns = 0; ns < 2; ++ns) {
      const unsigned long nsBit = ns ? QEL_PARSE_NAMESPACES : 0;
      s_peaks[in * 2 + ns] = {peakMb(input(in), [&](const std::string& x) { bareParseOnce(x, ns); }),
                              peakMb(input(in), [&](const std::string& x) { qelParseOnce(x, nsBit); }),
                              peakMb(input(in), [&](const std::string& x) { qelParseOnce(x, nsBit | 2); })};
    }
}

// --- summary ------------------------------------------------------------------------------------

// Keeps each case's median CPU time per parse (the machine is shared: CPU
// time is the steadier measure of a single-threaded parse).
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        m_ms[r.run_name.function_name + "/" + r.run_name.args] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  void summary() const {
    std::printf("\n%-16s %-5s %9s %21s %21s %22s\n", "input", "names", "bare MB/s", "opt 0: MB/s, ratio",
                "opt 0x02: MB/s, ratio", "peak MB: bare, 0, 0x02");
    for (int in = 0; in < 2; ++in)
      for (int ns = 0; ns < 2; ++ns) {
        const double mb = input(in).size() / 1e6;
        const unsigned long nsBit = ns ? QEL_PARSE_NAMESPACES : 0;
        const double bare = time("bareParse/" + std::to_string(in) + "/" + std::to_string(ns));
        const double opt0 = time("qelParse/" + std::to_string(in) + "/" + std::to_string(nsBit));
        const double opt2 = time("qelParse/" + std::to_string(in) + "/" + std::to_string(nsBit | 2));
        const Peaks& peak = s_peaks.at(in * 2 + ns);
        if (bare <= 0 || opt0 <= 0 || opt2 <= 0) {  // filtered out
          std::printf("%-16s %-5s %9s %21s %21s %8.0f, %4.0f, %4.0f\n", s_inputNames[in], ns ? "on" : "off", "-", "-",
                      "-", peak.bare, peak.opt0, peak.opt2);
          continue;
        }
        std::printf("%-16s %-5s %9.1f %7.1f, %5.3f%-7s %7.1f, %5.3f%-7s %8.0f, %4.0f, %4.0f\n", s_inputNames[in],
                    ns ? "on" : "off", mb / (bare / 1e3), mb / (opt0 / 1e3), opt0 / bare, mark(opt0 / bare),
                    mb / (opt2 / 1e3), opt2 / bare, mark(opt2 / bare), peak.bare, peak.opt0, peak.opt2);
      }
    std::printf(
        "ratio: median CPU time per parse against the bare parser's (target <= 0.40; '*' where missed)\n"
        "names: namespace processing; peak MB: resident memory three parses in a row add to a fresh process\n");
  }

 private:
  static const char* mark(double ratio) { return ratio <= 0.40 ? " " : "*"; }
  double time(const std::string& name) const {
    for (const auto& [key, ms] : m_ms)
      if (key.compare(0, name.size(), name) == 0 && (key.size() == name.size() || key[name.size()] == '/')) return ms;
    return 0;
  }

  std::map<std::string, double> m_ms;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of every case are interleaved with the other cases unless the
  // command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  tavDomInit();
  measurePeaks();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
