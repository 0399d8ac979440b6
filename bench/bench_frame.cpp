// What a traced editing call costs with tracing off, against the same DOM
// calls made directly, on a 100,000-node document.
//
// Each iteration runs the direct and the traced variant back to back (in
// alternating order) and times both, so that both see the same machine load;
// the counters give the time per node of each and the traced call's overhead
// in percent. Tracing stays off (no QEL_TRACE in the environment).
#include <benchmark/benchmark.h>

#include <chrono>

#include "qeldom.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

constexpr int kNodes = 100000;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

void report(benchmark::State& state, double direct, double traced, double perIteration) {
  double n = static_cast<double>(state.iterations()) * perIteration;
  state.counters["direct_ns"] = direct / n * 1e9;
  state.counters["traced_ns"] = traced / n * 1e9;
  state.counters["overhead_pct"] = (traced / direct - 1.0) * 100.0;
}

// The direct form of tavAddElem: find the document, create, append.
__attribute__((noinline)) DOMElement* addElemDirect(DOMNode* parent, const XMLCh* name) {
  DOMDocument* doc =
      parent->getNodeType() == DOMNode::DOCUMENT_NODE ? static_cast<DOMDocument*>(parent) : parent->getOwnerDocument();
  DOMElement* node = doc->createElement(name);
  parent->appendChild(node);
  return node;
}

// Appends 100,000 elements under the root of a new document.
double buildDoc(bool traced) {
  DOMDocument* doc = DOMImplementation::getImplementation()->createDocument();
  DOMElement* root = doc->createElement(u"root");
  doc->appendChild(root);
  Clock::time_point start = Clock::now();
  if (traced) {
    for (int i = 0; i < kNodes; ++i) benchmark::DoNotOptimize(tavAddElem(root, u"item"));
  } else {
    for (int i = 0; i < kNodes; ++i) benchmark::DoNotOptimize(addElemDirect(root, u"item"));
  }
  double took = seconds(start);
  doc->release();
  return took;
}

void BM_AddElem(benchmark::State& state) {
  tavDomInit();
  double direct = 0, traced = 0;
  bool tracedFirst = false;
  for (auto _ : state) {
    if (tracedFirst) {
      traced += buildDoc(true);
      direct += buildDoc(false);
    } else {
      direct += buildDoc(false);
      traced += buildDoc(true);
    }
    tracedFirst = !tracedFirst;
  }
  report(state, direct, traced, kNodes);
}
BENCHMARK(BM_AddElem)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The direct form of tavGetText: the same walk over the same DOM calls.
__attribute__((noinline)) const XMLCh* getTextDirect(const DOMNode* node, XMLBuffer& buffer) {
  const DOMNode* cur = node->getFirstChild();
  if (!cur) return nullptr;
  while (cur) {
    short type = cur->getNodeType();
    if (type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE) {
      buffer.append(cur->getNodeValue(), 0);
    } else if ((type == DOMNode::ELEMENT_NODE || type == DOMNode::ENTITY_REFERENCE_NODE) && cur->getFirstChild()) {
      cur = cur->getFirstChild();
      continue;
    }
    while (cur != node) {
      if (const DOMNode* next = cur->getNextSibling()) {
        cur = next;
        break;
      }
      cur = cur->getParentNode();
    }
    if (cur == node) break;
  }
  return buffer.getRawBuffer();
}

// A root with 50,000 elements that each hold one text: 100,001 nodes.
DOMDocument* textDoc() {
  DOMDocument* doc = tavCreateDoc(u"root");
  DOMElement* root = doc->getDocumentElement();
  for (int i = 0; i < kNodes / 2; ++i) {
    DOMElement* e = doc->createElement(u"item");
    root->appendChild(e);
    e->appendChild(doc->createTextNode(u"some text"));
  }
  return doc;
}

// One call over the whole document: the walk dominates.
void BM_GetTextDocument(benchmark::State& state) {
  DOMDocument* doc = textDoc();
  const DOMElement* root = doc->getDocumentElement();
  double direct = 0, traced = 0;
  bool tracedFirst = false;
  XMLBuffer buffer(1 << 20);
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      bool useTraced = (pass == 0) == tracedFirst;
      buffer.reset();
      Clock::time_point start = Clock::now();
      benchmark::DoNotOptimize(useTraced ? tavGetText(root, buffer) : getTextDirect(root, buffer));
      (useTraced ? traced : direct) += seconds(start);
    }
    tracedFirst = !tracedFirst;
  }
  report(state, direct, traced, kNodes);
  doc->release();
}
BENCHMARK(BM_GetTextDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One call per element: the per-call cost of the trace frame shows.
void BM_GetTextPerElement(benchmark::State& state) {
  DOMDocument* doc = textDoc();
  const DOMElement* root = doc->getDocumentElement();
  double direct = 0, traced = 0;
  bool tracedFirst = false;
  XMLBuffer buffer(1 << 20);
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass) {
      bool useTraced = (pass == 0) == tracedFirst;
      buffer.reset();
      Clock::time_point start = Clock::now();
      for (const DOMNode* e = root->getFirstChild(); e; e = e->getNextSibling())
        benchmark::DoNotOptimize(useTraced ? tavGetText(e, buffer) : getTextDirect(e, buffer));
      (useTraced ? traced : direct) += seconds(start);
    }
    tracedFirst = !tracedFirst;
  }
  report(state, direct, traced, kNodes / 2);
  doc->release();
}
BENCHMARK(BM_GetTextPerElement)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
