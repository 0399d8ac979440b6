// Internal to the library: the DOM writer's character data. Text and values
// are escaped through a replacement table; a character that the document's
// version allows only as a reference, that the code page cannot hold, or
// (with character references asked for) any above U+007F becomes a
// hexadecimal reference. Where XML has no references (names, comments,
// processing instructions, identifiers), such a character is refused
// instead. A character that can never be XML is refused everywhere. A
// refusal is a QelError naming the node and the character's position.
#pragma once

#include <cstddef>
#include <string>
#include <vector>
#include <xercesc/dom/DOMNode.hpp>

#include "qelpieces.hpp"
#include "qelreplace.hpp"

namespace qel_detail {

// The node's one-line text, as the library's messages give it.
std::string nodeText(const XERCES_CPP_NAMESPACE::DOMNode* node);

class Escaper {
 public:
  using Node = XERCES_CPP_NAMESPACE::DOMNode;

  // Character data for `out`, of an XML 1.1 document with `xml11`, with every
  // character above U+007F as a reference with `charRefs`. Asks the
  // converter once which characters of the code page it needs to know.
  Escaper(Pieces out, bool xml11, bool charRefs);

  bool isXml11() const { return m_xml11; }
  const ReplaceTables& tables() const { return replaceTables(m_xml11); }
  // Whether the code page lacks characters, so that a name that is not
  // ASCII needs a check.
  bool lacksCharacters() const { return !m_encodable.empty(); }

  // The zero-terminated `text` (null writes nothing) escaped through
  // `table`. `node` and `what` name the text in a refusal; `base` is its
  // position in what the message counts from.
  void text(const XMLCh* text, const QelDomReplaceTable& table, const Node* node, const char* what, size_t base = 0);
  // The content of a CDATA section, between the markers the caller writes:
  // the section is closed and opened again around each marker inside it and
  // around each run of characters that must be references.
  void cdataContent(const Node* node);
  // Markup, checked and written as it is; zero-terminated, null allowed.
  void markup(const XMLCh* text, const Node* node, const char* what, size_t base = 0);
  // Refuses the first character of the `count` units at `text` that markup
  // cannot hold.
  void checkMarkup(const XMLCh* text, size_t count, const Node* node, const char* what, size_t base = 0);

 private:
  enum class Refusal : unsigned char { notXml, onlyAsReference, notInCodePage };

  void writeCharRef(char32_t codePoint);
  bool canEncode(const XMLCh* unit, int count);
  bool convertsWithoutReference(const XMLCh* unit, int count);
  void checkCharacters(const XMLCh* text, size_t count, const Node* node, const char* what, bool literal, size_t base);
  [[noreturn]] void refuse(const Node* node, const char* what, const XMLCh* text, const XMLCh* at, size_t base,
                           Refusal why);

  Pieces m_out;
  bool m_xml11;
  bool m_charRefs;
  ScanStart m_scanStart = fromUD800;
  std::vector<unsigned char> m_encodable;  // per BMP unit: 0 unknown, 1 encodable, 2 not (non-UTF outputs)
  std::string m_refBytes;                  // "&#x" in the output encoding
};

}  // namespace qel_detail
