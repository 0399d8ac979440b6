// Helpers shared by the fuzz targets: a check that stops the run, the test
// for inputs that could name a device, a file outside the run or the network,
// writing a node to a string, and a comparison of two trees.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <xercesc/dom/DOM.hpp>

#include "qeldom.hpp"
#include "qelidwrt.hpp"
#include "qeloutstream.hpp"

// A fuzz finding: the message goes to stderr and the run stops with a crash
// report, which libFuzzer saves as a crash input.
#define FUZZ_CHECK(cond, ...)                                                         \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                              \
      std::fprintf(stderr, "\n");                                                     \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace fuzz {

// Whether the bytes may name an external entity that reaches beyond the run:
// a device or /proc file that never ends or blocks, or a URL. The test looks
// at the bytes with zero bytes dropped (UTF-16 and UCS-4 forms of ASCII) and
// at their EBCDIC reading, without letter case (/sys and other files end). Inputs that pass it can name
// only ordinary files, which the runs make in an empty working directory.
bool mayReachOutside(const unsigned char* data, size_t size);

// The node written with the options and encoding; the writer's exceptions pass.
std::string write(const XERCES_CPP_NAMESPACE::DOMNode* node, unsigned long options, const char* encoding);

// What a comparison of two trees forgives: what the writer's options leave
// out or what the escaping they choose lets the parser normalize.
struct Leniency {
  bool skipComments = false;   // comments are left out
  bool skipBlankText = false;  // text of white space only is left out
  bool trimText = false;       // white space at both ends of a text is left out
  std::u16string attrSpaces;   // these units of attribute values count as a space
  bool textCrAsLf = false;     // in text, CR LF and a lone CR count as LF
};

// A printable description of the first difference between two trees, or an
// empty string when they are the same. Adjacent text and CDATA sections are
// compared as one text; the document type is not compared.
std::string diffTrees(const XERCES_CPP_NAMESPACE::DOMNode* a, const XERCES_CPP_NAMESPACE::DOMNode* b,
                      const Leniency& leniency);

// UTF-16 to printable ASCII (other units as \uXXXX), cut after `max` units.
std::string show(const XMLCh* text, size_t max = 200);

// Starts the platform once.
void init();

}  // namespace fuzz
