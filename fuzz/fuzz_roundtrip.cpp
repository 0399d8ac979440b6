// Parse, write, parse again. An input that parses, XML 1.0 or 1.1, with or
// without an internal subset, is written with each writer option set in
// UTF-8, UTF-16LE, ISO-8859-1 and IBM037; the bytes must parse again (always
// well-formed) into the same tree, of the same version, and where the
// document type is written, with the same internal subset. Only the Latin-1
// and EBCDIC outputs may refuse a document, with a QelError, when it holds a
// character they cannot carry where no character reference can stand.
#include <cstdint>
#include <cstring>
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

// The content of an XML 1.1 document (QEL_WRITE_CONTENT_ONLY) is written
// without a declaration: it is read as part of an XML 1.1 document. This puts
// one in front of it, in its encoding, after its byte order mark.
std::string asXml11Document(const std::string& content, const char* enc) {
  DOMDocument* doc = tavCreateDoc(u"r");
  doc->setXmlVersion(XMLUni::fgVersion1_1);
  const std::string withDecl = fuzz::write(doc, QEL_WRITE_XML_DECL, enc);   // [mark] declaration, "<r/>"
  const std::string root = fuzz::write(doc->getDocumentElement(), 0, enc);  // [mark] "<r/>"
  doc->release();
  const bool utf16 = enc[0] == 'U' && enc[4] == '1';
  const std::string declaration = withDecl.substr(0, withDecl.size() - (root.size() - (utf16 ? 2 : 0)));
  return declaration + content.substr(utf16 && content.size() >= 2 ? 2 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzz::mayReachOutside(data, size)) return 0;
  fuzz::init();
  // Namespace processing follows the input's last byte, so both readings are explored.
  const unsigned long ns = (size > 0 && (data[size - 1] & 1)) ? QEL_PARSE_NAMESPACES : 0;
  DOMDocument* plain = tryParse(data, size, ns, nullptr);
  if (!plain) return 0;
  DOMDocument* trimmed = tryParse(data, size, ns | QEL_PARSE_TRIM, nullptr);
  FUZZ_CHECK(trimmed != nullptr, "parses, but not with QEL_PARSE_TRIM");

  const DOMDocumentType* docType = plain->getDoctype();
  for (const OptionSet& set : s_optionSets) {
    const unsigned long options = set.options;
    for (const char* enc : s_encodings) {
      const bool utf = enc[0] == 'U';
      std::string bytes;
      try {
        bytes = fuzz::write(plain, options, enc);
      } catch (const QelError& e) {
        // An internal subset that reads in too many ways is refused in any encoding.
        FUZZ_CHECK(!utf || std::strstr(e.getMessage(), "too many ways"), "writing (%s) in %s failed: %s", set.name, enc,
                   e.getMessage());
        continue;
      }
      if ((options & QEL_WRITE_CONTENT_ONLY) && XMLString::equals(plain->getXmlVersion(), XMLUni::fgVersion1_1))
        bytes = asXml11Document(bytes, enc);
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
      FUZZ_CHECK(XMLString::equals(plain->getXmlVersion(), again->getXmlVersion()) ||
                     !XMLString::equals(plain->getXmlVersion(), XMLUni::fgVersion1_1),
                 "round trip (%s) in %s: the version differs", set.name, enc);
      if (docType && (options & QEL_WRITE_DOCTYPE) && !(options & QEL_WRITE_CONTENT_ONLY)) {
        const DOMDocumentType* back = again->getDoctype();
        FUZZ_CHECK(back && XMLString::equals(docType->getInternalSubset(), back->getInternalSubset()),
                   "round trip (%s) in %s: the internal subset differs:\n%s\n%s", set.name, enc,
                   fuzz::show(docType->getInternalSubset()).c_str(),
                   back ? fuzz::show(back->getInternalSubset()).c_str() : "(none)");
      }
      again->release();
    }
  }
  trimmed->release();
  plain->release();
  return 0;
}
