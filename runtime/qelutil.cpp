// Strings, conversions, message inserts and trace streams of the utility
// library.
#include "qelutil.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstring>
#include <sstream>

#include "mox.hpp"

// --- QelUniString -------------------------------------------------------------

QelUniString::QelUniString(const XMLCh* text) {
  if (text) m_text.assign(text);
}

QelUniString::QelUniString(const XMLCh* text, size_t count) {
  if (text) m_text.assign(text, count);
}

QelUniString::QelUniString(const char* text, size_t length)
    : m_text(qelToUnicode(text, static_cast<unsigned>(length))) {}

void QelUniString::initStatic(const char* literal, size_t length) {
  m_text.clear();
  m_text.reserve(length);
  for (size_t i = 0; i < length; ++i) m_text.push_back(static_cast<unsigned char>(literal[i]));
}

std::string QelUniString::toString() const { return qelToMbcs(m_text.c_str(), static_cast<unsigned>(m_text.length())); }

std::ostream& operator<<(std::ostream& os, const QelUniString& s) { return os << s.toString(); }

// --- conversions ----------------------------------------------------------------

size_t qelStrlen(const XMLCh* text) { return text ? std::char_traits<char16_t>::length(text) : 0; }

std::string qelToMbcs(const XMLCh* text, unsigned length, bool) {
  if (!text) return std::string();
  size_t n = length == QEL_WHOLE ? qelStrlen(text) : length;
  std::string out;
  out.reserve(n);
  // ASCII runs are copied directly; the rest goes through ICU with U+FFFD for
  // lone surrogates.
  size_t i = 0;
  while (i < n && text[i] < 0x80) out.push_back(static_cast<char>(text[i++]));
  if (i == n) return out;
  const UChar* src = reinterpret_cast<const UChar*>(text) + i;
  int32_t srcLen = static_cast<int32_t>(n - i);
  UErrorCode err = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strToUTF8WithSub(nullptr, 0, &needed, src, srcLen, 0xFFFD, nullptr, &err);
  size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  err = U_ZERO_ERROR;
  u_strToUTF8WithSub(&out[start], needed, &needed, src, srcLen, 0xFFFD, nullptr, &err);
  return out;
}

std::u16string qelToUnicode(const char* text, unsigned length, bool) {
  if (!text) return std::u16string();
  size_t n = length == QEL_WHOLE ? std::strlen(text) : length;
  std::u16string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n && static_cast<unsigned char>(text[i]) < 0x80) out.push_back(static_cast<unsigned char>(text[i++]));
  if (i == n) return out;
  UErrorCode err = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8WithSub(nullptr, 0, &needed, text + i, static_cast<int32_t>(n - i), 0xFFFD, nullptr, &err);
  size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(&out[start]), needed, &needed, text + i, static_cast<int32_t>(n - i),
                       0xFFFD, nullptr, &err);
  return out;
}

std::string qelTraceStr(const XMLCh* text) { return qelToMbcs(text); }

std::u16string qelToUpper(const std::u16string& text) {
  if (text.empty()) return text;
  UErrorCode err = U_ZERO_ERROR;
  const UChar* src = reinterpret_cast<const UChar*>(text.data());
  int32_t len = static_cast<int32_t>(text.length());
  int32_t needed = u_strToUpper(nullptr, 0, src, len, "", &err);
  std::u16string out(static_cast<size_t>(needed), u'\0');
  err = U_ZERO_ERROR;
  u_strToUpper(reinterpret_cast<UChar*>(&out[0]), needed, src, len, "", &err);
  return out;
}

// --- QelInsert --------------------------------------------------------------------

QelInsert::~QelInsert() = default;

namespace {
std::string substInserts(const char* format, const QelInsert* const* inserts, int count) {
  std::string out;
  if (!format) return out;
  int next = 0;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < count) {
      inserts[next++]->appendTo(out);
      ++p;
    } else {
      out.push_back(*p);
    }
  }
  return out;
}
}  // namespace

std::string QelInsert::subst(const char* format, const QelInsert& a) {
  const QelInsert* all[] = {&a};
  return substInserts(format, all, 1);
}

std::string QelInsert::subst(const char* format, const QelInsert& a, const QelInsert& b) {
  const QelInsert* all[] = {&a, &b};
  return substInserts(format, all, 2);
}

std::string QelInsert::subst(const char* format, const QelInsert& a, const QelInsert& b, const QelInsert& c) {
  const QelInsert* all[] = {&a, &b, &c};
  return substInserts(format, all, 3);
}

// --- QelTraceStream ---------------------------------------------------------------

namespace {
// Collects the text of one line; a flush (sync) hands it on.
class LineBuf : public std::stringbuf {
 public:
  TRC1_EPB* record = nullptr;
  int line = 0;
  std::string* target = nullptr;

 protected:
  int sync() override {
    std::string text = str();
    if (text.empty()) return 0;
    str(std::string());
    if (target)
      target->append(text);
    else if (record)
      moxWriteLine(record, line, text);
    return 0;
  }
};
}  // namespace

struct QelTraceStream::Impl {
  LineBuf buf;
  std::ostream os{&buf};
};

void QelTraceStream::destroy(Impl* impl) { delete impl; }

std::ostream& QelTraceStream::getOs(TRC1_EPB* record, int line) {
  if (!m_impl) m_impl = new Impl;
  m_impl->buf.pubsync();
  m_impl->buf.record = record;
  m_impl->buf.line = line;
  m_impl->buf.target = nullptr;
  return m_impl->os;
}

std::ostream& QelTraceStream::getOs(std::string& target) {
  if (!m_impl) m_impl = new Impl;
  m_impl->buf.pubsync();
  m_impl->buf.record = nullptr;
  m_impl->buf.target = &target;
  return m_impl->os;
}
