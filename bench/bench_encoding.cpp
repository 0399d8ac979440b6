// Cost of recognizing the encoding of a 1 KB document, against a plain
// Xerces-C parse of the same document, measured in the same run. At the end
// the program prints each recognition's time as a share of its parse.
//
//   build/bench/bench_encoding [--benchmark_min_time=0.5]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include "qelenrec.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

// About 1 KB of XML after the given prolog.
std::string document(const std::string& prolog) {
  std::string doc = prolog + "<doc lang=\"en\">";
  for (int i = 0; doc.size() < 1000; ++i)
    doc += "<p n=\"" + std::to_string(i) + "\">Some text &amp; a reference, caf\xE9 au lait.</p>";
  return doc + "</doc>";
}

// Latin-1 bytes, named by the declaration.
const std::string& declaredDoc() {
  static const std::string doc = document("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>");
  return doc;
}

// The same bytes without a declaration: the caller names windows-1252.
const std::string& undeclaredDoc() {
  static const std::string doc = document("");
  return doc;
}

// UTF-16LE with a byte order mark (the text is ASCII here).
const std::string& utf16Doc() {
  static const std::string doc = [] {
    std::string ascii = document("");
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
      out += c == '\xE9' ? 'e' : c;
      out += '\0';
    }
    return out;
  }();
  return doc;
}

void recognize(benchmark::State& state, const std::string& doc, const char* supplied) {
  tavDomInit();
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), "bench");
  src.setCopyBufToStream(false);
  for (auto _ : state) benchmark::DoNotOptimize(qelRecognizeEncoding(src, supplied));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

// The parse the recognition prepares: the source already carries its encoding.
void parse(benchmark::State& state, const std::string& doc, const XMLCh* encoding) {
  tavDomInit();
  MemBufInputSource src(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), "bench");
  src.setCopyBufToStream(false);
  src.setEncoding(encoding);
  XercesDOMParser parser;
  parser.setValidationScheme(XercesDOMParser::Val_Never);
  parser.setDoNamespaces(false);
  for (auto _ : state) {
    parser.parse(src);
    if (parser.getErrorCount() != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(parser.getDocument());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_Recognize_Declared(benchmark::State& s) { recognize(s, declaredDoc(), nullptr); }
void BM_Parse_Declared(benchmark::State& s) { parse(s, declaredDoc(), u"ISO-8859-1"); }
void BM_Recognize_Supplied(benchmark::State& s) { recognize(s, undeclaredDoc(), "windows-1252"); }
void BM_Parse_Supplied(benchmark::State& s) { parse(s, undeclaredDoc(), u"WINDOWS-1252"); }
void BM_Recognize_Utf16Mark(benchmark::State& s) { recognize(s, utf16Doc(), nullptr); }
void BM_Parse_Utf16Mark(benchmark::State& s) { parse(s, utf16Doc(), u"UTF-16LE"); }

BENCHMARK(BM_Recognize_Declared);
BENCHMARK(BM_Parse_Declared);
BENCHMARK(BM_Recognize_Supplied);
BENCHMARK(BM_Parse_Supplied);
BENCHMARK(BM_Recognize_Utf16Mark);
BENCHMARK(BM_Parse_Utf16Mark);

// The console output, and at the end each recognition as a share of its parse.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        m_cpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRecognition cost per call as a share of the Xerces-C parse of the same 1 KB document:\n");
    for (const char* kind : {"Declared", "Supplied", "Utf16Mark"}) {
      auto r = m_cpuTime.find(std::string("BM_Recognize_") + kind);
      auto p = m_cpuTime.find(std::string("BM_Parse_") + kind);
      if (r == m_cpuTime.end() || p == m_cpuTime.end() || p->second <= 0) continue;
      std::printf("  %-10s recognize %9.0f ns, parse %9.0f ns, ratio %5.2f %%\n", kind, r->second, p->second,
                  100.0 * r->second / p->second);
    }
  }

 private:
  std::map<std::string, double> m_cpuTime;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
