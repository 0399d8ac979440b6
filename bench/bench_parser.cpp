// qelParseDoc (options 0 and 0x02) against a bare Xerces-C XercesDOMParser on
// a MemBufInputSource with the same settings, on the same bytes: about 20 MB
// of record-like XML and about 5 MB of mixed content. Prints MB/s and the
// ratio of each library run to the bare parser after the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <xercesc/framework/MemBufInputSource.hpp>
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

void bareParse(benchmark::State& state) {
  const std::string& xml = input(state.range(0));
  tavDomInit();
  for (auto _ : state) {
    XercesDOMParser parser;
    parser.setValidationScheme(XercesDOMParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.setCreateEntityReferenceNodes(false);
    HandlerBase handler;
    parser.setErrorHandler(&handler);
    MemBufInputSource src(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench", false);
    src.setCopyBufToStream(false);
    parser.parse(src);
    parser.adoptDocument()->release();
  }
  state.SetBytesProcessed(state.iterations() * xml.size());
}

void qelParse(benchmark::State& state) {
  const std::string& xml = input(state.range(0));
  unsigned long opt = state.range(1);
  tavDomInit();
  for (auto _ : state) qelParseDoc(xml.data(), xml.size(), opt, nullptr)->release();
  state.SetBytesProcessed(state.iterations() * xml.size());
}

BENCHMARK(bareParse)->ArgName("input")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(qelParse)
    ->ArgNames({"input", "opt"})
    ->Args({0, 0})
    ->Args({0, 2})
    ->Args({1, 0})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1);

// Collects the CPU time per parse of each run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        m_ms[r.run_name.function_name + "/" + r.run_name.args] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void summary() const {
    const char* names[] = {"records (20 MB)", "mixed (5 MB)"};
    for (int in = 0; in < 2; ++in) {
      double mb = input(in).size() / 1e6;
      auto t = [&](const std::string& name) {
        auto it = m_ms.find(name);
        return it == m_ms.end() ? 0.0 : it->second;
      };
      double bare = t("bareParse/input:" + std::to_string(in));
      double opt0 = t("qelParse/input:" + std::to_string(in) + "/opt:0");
      double opt2 = t("qelParse/input:" + std::to_string(in) + "/opt:2");
      if (bare <= 0 || opt0 <= 0 || opt2 <= 0) continue;  // filtered out
      // CPU milliseconds per parse (the machine is shared: CPU time is the
      // steadier measure of a single-threaded parse).
      std::printf(
          "%-16s bare %7.1f MB/s | qelParseDoc 0: %7.1f MB/s, ratio %.3f (target <= 1.10) | 0x02: %7.1f MB/s, ratio "
          "%.3f (target <= 1.15)\n",
          names[in], mb / (bare / 1e3), mb / (opt0 / 1e3), opt0 / bare, mb / (opt2 / 1e3), opt2 / bare);
    }
  }

 private:
  std::map<std::string, double> m_ms;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
