// Parse, write, parse again. An input that parses is written with each writer
// option set in UTF-8, UTF-16LE, ISO-8859-1 and IBM037; the bytes must parse
// again (always well-formed) into the same tree. Only the Latin-1 and EBCDIC
// outputs may refuse a document, with a QelError, when it holds a character
// they cannot carry where no character reference can stand.
#include <cstdint>
#include <string>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "fuzz_common.hpp"
#include "qelipars.hpp"

XERCES_CPP_NAMESPACE_USE

namespace {

struct OptionSet {
  unsigned long options;
  const char* name;
  bool skipComments;  // comments are not written
  bool trim;          // margins add white space: both trees are read with QEL_PARSE_TRIM
};

const OptionSet s_optionSets[] = {
    {0, "none", false, false},
    {QEL_WRITE_XML_DECL | QEL_WRITE_DOCTYPE, "declaration, doctype", false, false},
    {QEL_WRITE_XML_DECL | QEL_WRITE_DOCTYPE | QEL_WRITE_CHAR_REFS, "declaration, doctype, char refs", false, false},
    {QEL_WRITE_DOCTYPE | QEL_WRITE_CANONICAL, "doctype, canonical", true, false},
    {QEL_WRITE_DOCTYPE | QEL_WRITE_SPECIFIED_ONLY, "doctype, specified only", false, false},
    {QEL_WRITE_CONTENT_ONLY, "content only", false, false},
    {QEL_WRITE_DOCTYPE | QEL_WRITE_MARGINS, "doctype, margins", false, true},
    {QEL_WRITE_XML_DECL | QEL_WRITE_SPACED_MARGINS | QEL_WRITE_CHAR_REFS, "declaration, spaced margins, char refs",
     false, true},
};

const char* const s_encodings[] = {"UTF-8", "UTF-16LE", "ISO-8859-1", "IBM037"};

DOMDocument* tryParse(const void* data, size_t size, unsigned long opt, const char* enc) {
  try {
    return qelParseDoc(data, size, opt, enc);
  } catch (const QelError&) {
    return nullptr;
  }
}

// The writer escapes in attribute values only what its table for the options
// holds (& < > and the quotation mark; with character references also CR
// and LF; in canonical form also TAB), so the parser's normalization turns
// the others into spaces; CR in text is escaped with character references or
// in canonical form only.
fuzz::Leniency leniency(const OptionSet& set) {
  fuzz::Leniency len;
  len.skipComments = set.skipComments;
  // Margins go inside xml:space="preserve" scopes too: there QEL_PARSE_TRIM
  // keeps them, so text is compared without white space at its ends.
  len.skipBlankText = set.trim;
  len.trimText = set.trim;
  if (set.options & QEL_WRITE_CANONICAL) return len;
  len.attrSpaces = (set.options & QEL_WRITE_CHAR_REFS) ? u"\t" : u"\t\n\r";
  len.textCrAsLf = !(set.options & QEL_WRITE_CHAR_REFS);
  return len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzz::mayReachOutside(data, size)) return 0;
  fuzz::init();
  // Namespace processing follows the input's last byte, so both readings are explored.
  const unsigned long ns = (size > 0 && (data[size - 1] & 1)) ? QEL_PARSE_NAMESPACES : 0;
  DOMDocument* plain = tryParse(data, size, ns, nullptr);
  if (!plain) return 0;
  if (XMLString::equals(plain->getXmlVersion(), XMLUni::fgVersion1_1)) {
    // The writer writes XML 1.0, which cannot hold every XML 1.1 document.
    plain->release();
    return 0;
  }
  DOMDocument* trimmed = tryParse(data, size, ns | QEL_PARSE_TRIM, nullptr);
  FUZZ_CHECK(trimmed != nullptr, "parses, but not with QEL_PARSE_TRIM");

  // The document type is written with the internal subset as Xerces-C's DOM
  // rebuilds it, with references in entity values already replaced
  // (<!ENTITY e "&#34;"> comes back as <!ENTITY e """>): a document with an
  // internal subset is written without its document type.
  const DOMDocumentType* docType = plain->getDoctype();
  const bool subset = docType && docType->getInternalSubset() && *docType->getInternalSubset();
  for (const OptionSet& set : s_optionSets) {
    if (subset && (set.options & QEL_WRITE_SPECIFIED_ONLY)) continue;
    const unsigned long options = subset ? set.options & ~QEL_WRITE_DOCTYPE : set.options;
    for (const char* enc : s_encodings) {
      const bool utf = enc[0] == 'U';
      std::string bytes;
      try {
        bytes = fuzz::write(plain, options, enc);
      } catch (const QelError& e) {
        FUZZ_CHECK(!utf, "writing (%s) in %s failed: %s", set.name, enc, e.getMessage());
        continue;
      }
      const unsigned long opt = ns | (set.trim ? QEL_PARSE_TRIM : 0);
      DOMDocument* again = nullptr;
      try {
        again = qelParseDoc(bytes.data(), bytes.size(), opt, enc);
      } catch (const QelError& e) {
        FUZZ_CHECK(false, "the output (%s) in %s does not parse: %s\n%s", set.name, enc, e.getMessage(),
                   utf && enc[4] == '8' ? bytes.c_str() : "");
      }
      const std::string diff = fuzz::diffTrees(set.trim ? trimmed : plain, again, leniency(set));
      FUZZ_CHECK(diff.empty(), "round trip (%s) in %s differs: %s", set.name, enc, diff.c_str());
      again->release();
    }
  }
  trimmed->release();
  plain->release();
  return 0;
}
