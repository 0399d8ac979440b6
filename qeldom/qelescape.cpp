// The DOM writer's character data: escaping, character references, CDATA
// content and the checks of markup.
#include "qelescape.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "qeldstr.hpp"
#include "qelframe.hpp"
#include "qelxmlchars.hpp"

XERCES_CPP_NAMESPACE_USE

QEL_TRACE_FILE("qeldom/qelescape", "$Revision: 1.1 $");

namespace qel_detail {

namespace {

// Code pages that hold every character.
bool holdsEverything(long codePageId) {
  return codePageId == QEL_CODEPAGE_UTF8 || codePageId == QEL_CODEPAGE_UTF16LE || codePageId == QEL_CODEPAGE_UTF16BE;
}

// Whether the code page holds every unit from U+0080 to U+00FF, one byte
// each: converted there and back they come out unchanged.
bool holdsLatin1(const QelNls& converter) {
  XMLCh units[128];
  for (int i = 0; i < 128; ++i) units[i] = static_cast<XMLCh>(0x80 + i);
  QelAutoBuffer<char> bytes = converter.fromUnicode(units, 128);
  if (bytes.size() != 128) return false;
  QelAutoBuffer<XMLCh> back = converter.toUnicode(bytes.get(), 128);
  return back.size() == 128 && std::memcmp(back.get(), units, sizeof units) == 0;
}

}  // namespace

std::string nodeText(const DOMNode* node) {
  std::ostringstream os;
  ::operator<<(os, node);  // the library's node text
  return os.str();
}

// Characters that the code page cannot hold come out of the converter as
// character references. Where that would change the content (CDATA) or
// break the markup (names, comments, processing instructions), the writer
// needs to know them in advance. The scan stops at the units above ASCII
// that need a look: all of them for references, in XML 1.1 (its controls
// U+0080 to U+009F) and where the code page lacks characters; from U+0100
// up where it holds all of U+0080 to U+00FF; otherwise only surrogates,
// U+FFFE and U+FFFF.
Escaper::Escaper(Pieces out, bool xml11, bool charRefs) : m_out(out), m_xml11(xml11), m_charRefs(charRefs) {
  const QelNls& converter = m_out.converter();
  if (!holdsEverything(converter.getCodePageId())) {
    m_encodable.assign(0x10000, 0);
    QelAutoBuffer<char> ref = converter.fromUnicode(u"&#x", 3);
    m_refBytes.assign(ref.get(), ref.size());
  }
  if (charRefs || xml11)
    m_scanStart = fromU0080;
  else if (!m_encodable.empty())
    m_scanStart = holdsLatin1(converter) ? fromU0100 : fromU0080;
  if (m_scanStart == fromU0100) std::fill(m_encodable.begin() + 0x80, m_encodable.begin() + 0x100, 1);
}

// One pass: plain runs go to the staging buffer whole; a symbol of the table
// becomes its reference; a character that the document's version allows only
// as a reference, that the code page cannot hold, or (with character
// references) any above U+007F becomes a hexadecimal reference, one for a
// surrogate pair's code point; a character that can never be XML is refused
// (the plain run before it is not written).
void Escaper::text(const XMLCh* text, const QelDomReplaceTable& table, const DOMNode* node, const char* what,
                   size_t base) {
  const XMLCh* p = text;
  if (!p) return;
  const XMLCh* run = p;
  for (;;) {
    p = table.scan[m_scanStart](p, table);
    const XMLCh c = *p;
    char32_t codePoint = c;
    int width = 1;
    if (c < 0x80) {
      const int k = table.index[c];
      if (k < 0) {  // TAB, LF or CR that the table keeps
        ++p;
        continue;
      }
      if (k == QelDomReplaceTable::s_end) break;  // after the last run
      if (k != QelDomReplaceTable::s_control) {
        m_out.text(run, static_cast<size_t>(p - run));
        m_out.text(table.refs[k], static_cast<size_t>(table.refLengths[k]));
        run = ++p;
        m_out.commitIfFull();  // a long text full of references stays within the buffer
        continue;
      }
      if (!m_xml11) refuse(node, what, text, p, base, Refusal::notXml);
    } else {
      codePoint = codePointAt(p, p + 2, width);  // p[1] is readable: at worst the terminating zero
      if (isNeverXml(codePoint, m_xml11)) refuse(node, what, text, p, base, Refusal::notXml);
      if (!(m_xml11 && isReferenceOnly11(codePoint)) && !m_charRefs && canEncode(p, width)) {
        p += width;  // stays in the plain run
        continue;
      }
    }
    m_out.text(run, static_cast<size_t>(p - run));
    writeCharRef(codePoint);
    p += width;
    run = p;
    m_out.commitIfFull();
  }
  m_out.text(run, static_cast<size_t>(p - run));
}

void Escaper::writeCharRef(char32_t codePoint) {
  std::u16string ref;
  appendCharRef(ref, codePoint);
  m_out.text(ref);
}

// Inside a section the converter's reference for a character the code page
// lacks would be read back as text, so such characters leave the section as
// references: all of them above U+007F with character references, those the
// code page cannot hold otherwise, and those XML 1.1 allows only as
// references.
void Escaper::cdataContent(const DOMNode* node) {
  static const XMLCh s_startReplacement[] = u"]]>&lt;![CDATA[<![CDATA[";
  static const XMLCh s_endReplacement[] = u"]]>]]&gt;<![CDATA[";
  QEL_TRACE_ENTER("QelDomWriter::writeCDataContent");
  QEL_TRACE_ARGS("");
  const std::u16string content = QelDomStr(node->getNodeValue());
  const size_t size = content.size();
  checkCharacters(content.data(), size, node, "CDATA section", false, 0);
  std::u16string out;
  out.reserve(size);
  size_t p = 0;
  while (p < size) {
    size_t startAt = content.find(QelUni::s_startCData, p);
    size_t endAt = content.find(QelUni::s_endCData, p);
    size_t s = (startAt == std::u16string::npos ? size : startAt) - p;
    size_t e = (endAt == std::u16string::npos ? size : endAt) - p;
    QEL_TRACE_FLOW("(" << p << ") cdataStartPos(" << s << ") cdataEndPos(" << e << ")");
    if (e > s) {
      out.append(content, p, s).append(s_startReplacement);
      p += s + 9;
    } else if (e < s) {
      out.append(content, p, e).append(s_endReplacement);
      p += e + 3;
    } else {
      out.append(content, p, std::u16string::npos);
      break;
    }
  }

  if (!m_charRefs && m_encodable.empty() && !m_xml11) {
    m_out.text(out);
    QEL_TRACE_EXIT();
    return;
  }
  const XMLCh* begin = out.data();
  const XMLCh* end = begin + out.size();
  auto needsRef = [&](const XMLCh* at, int& width) {
    const char32_t c = codePointAt(at, end, width);
    if (m_xml11 && isReferenceOnly11(c)) return true;
    return c > 0x7F && (m_charRefs || !canEncode(at, width));
  };
  const XMLCh* segment = begin;
  const XMLCh* at = begin;
  std::u16string refs;
  int width;
  while (at < end) {
    if (!needsRef(at, width)) {
      at += width;
      continue;
    }
    const XMLCh* runStart = at;
    refs.clear();
    while (at < end && needsRef(at, width)) {
      appendCharRef(refs, codePointAt(at, end, width));
      at += width;
    }
    m_out.text(segment, static_cast<size_t>(runStart - segment));
    m_out.text(QelUni::s_endCData);
    m_out.text(refs);
    m_out.text(QelUni::s_startCData);
    m_out.commitIfFull();
    segment = at;
  }
  m_out.text(segment, static_cast<size_t>(end - segment));
  QEL_TRACE_EXIT();
}

void Escaper::markup(const XMLCh* text, const DOMNode* node, const char* what, size_t base) {
  const size_t count = qelStrlen(text);
  checkMarkup(text, count, node, what, base);
  m_out.text(text, count);
}

void Escaper::checkMarkup(const XMLCh* text, size_t count, const DOMNode* node, const char* what, size_t base) {
  checkCharacters(text, count, node, what, true, base);
}

// Whether the code page holds the character (one unit, or a surrogate pair).
// Answers for single units are kept; only non-UTF outputs ask.
inline bool Escaper::canEncode(const XMLCh* unit, int count) {
  if (m_encodable.empty()) return true;
  if (count == 1 && m_encodable[*unit]) return m_encodable[*unit] == 1;
  return convertsWithoutReference(unit, count);
}

// The converter's answer for a character not asked about before; a single
// unit's answer is kept.
bool Escaper::convertsWithoutReference(const XMLCh* unit, int count) {
  QelAutoBuffer<char> bytes = m_out.converter().fromUnicode(unit, count);
  bool ok = !(bytes.size() > m_refBytes.size() &&
              m_refBytes.compare(0, m_refBytes.size(), bytes.get(), m_refBytes.size()) == 0);
  if (count == 1) m_encodable[*unit] = ok ? 1 : 2;
  return ok;
}

// Refuses the first character that can never be XML; with `literal` also
// those XML 1.1 allows only as references and, where the text holds neither,
// the first one the code page cannot hold: text where XML has no character
// references. What XML cannot hold is refused alike in every code page.
void Escaper::checkCharacters(const XMLCh* text, size_t count, const DOMNode* node, const char* what, bool literal,
                              size_t base) {
  if (!text) return;
  const XMLCh* end = text + count;
  const XMLCh* missing = nullptr;  // the first character the code page lacks
  for (const XMLCh* p = text; p < end;) {
    if (*p >= 0x20 && *p < 0x7F) {
      ++p;
      continue;
    }
    int width;
    const char32_t c = codePointAt(p, end, width);
    if (isNeverXml(c, m_xml11)) refuse(node, what, text, p, base, Refusal::notXml);
    if (literal && m_xml11 && isReferenceOnly11(c)) refuse(node, what, text, p, base, Refusal::onlyAsReference);
    if (literal && !missing && c > 0x7F && !canEncode(p, width)) missing = p;
    p += width;
  }
  if (missing) refuse(node, what, text, missing, base, Refusal::notInCodePage);
}

// "The <what> holds U+XXXX at position N, <why>: <node>". The position
// counts UTF-16 units from the start of the text, plus `base`.
void Escaper::refuse(const DOMNode* node, const char* what, const XMLCh* text, const XMLCh* at, size_t base,
                     Refusal why) {
  int width;
  const char32_t c = codePointAt(at, at + 2, width);
  char codePoint[16];
  std::snprintf(codePoint, sizeof codePoint, "U+%04X", static_cast<unsigned>(c));
  const char* version = m_xml11 ? "1.1" : "1.0";
  std::string reason = why == Refusal::notXml ? std::string("which is not a character of XML ") + version
                       : why == Refusal::onlyAsReference
                           ? "which XML 1.1 allows only as a character reference"
                           : "which the encoding " + qelToMbcs(m_out.converter().getCodePage()) + " cannot hold";
  raise(nullptr, __LINE__, QELRC_DOM_API_ERROR, "QELRC_DOM_API_ERROR", 0, "QelDomWriter::QelDomWriter", s_revision,
        s_sourcePath,
        std::string("The ") + what + " holds " + codePoint + " at position " +
            std::to_string(base + static_cast<size_t>(at - text)) + ", " + reason + ": " + nodeText(node));
}

}  // namespace qel_detail
