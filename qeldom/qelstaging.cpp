// The staging buffer: collecting UTF-16 text, and the commit that converts it
// and hands the bytes to the stream, traced as the converting writer's.
#include "qelstaging.hpp"

#include <algorithm>
#include <exception>

#include "qelframe.hpp"
#include "qelxmlchars.hpp"

QEL_TRACE_FILE("qeldom/qelstaging", "$Revision: 1.1 $");

namespace qel_detail {

// The buffer holds twice the commit size, so that a piece rarely needs it to
// grow: a commit empties it once the commit size is reached.
Staging::Staging(QelOutputStream& stream, const XMLCh* encoding, bool withPrefix)
    : m_stream(&stream),
      m_converter(encoding),
      m_buffer(2 * s_capacity),
      m_uncaughtAtStart(std::uncaught_exceptions()),
      m_lastCommitOwed(LcGetError(m_converter.m_locale) == 0) {
  const long id = m_converter.getCodePageId();
  if (id == QEL_CODEPAGE_UTF16BE || id == QEL_CODEPAGE_UTF16LE) {
    m_prefix = 0xFEFF;
    m_isUtf16 = true;
    m_isPrefixed = !withPrefix;
  }
}

Staging::Staging()
    : m_stream(nullptr),
      m_converter(u"UTF-16LE"),
      m_buffer(2 * s_capacity),
      m_uncaughtAtStart(0),
      m_lastCommitOwed(false) {}

Staging::~Staging() {
  if (!m_lastCommitOwed) return;
  try {
    convert(false);
  } catch (...) {
  }
}

void Staging::finish() {
  m_lastCommitOwed = false;
  if (std::uncaught_exceptions() > m_uncaughtAtStart) {
    try {
      convert(false);
    } catch (...) {
    }
    return;
  }
  convert(false);
}

void Staging::grow(size_t count) { m_buffer.resize(std::max(2 * m_buffer.size(), m_length + count)); }

// Each conversion is complete in itself, so a surrogate pair must never be
// split between two of them: a trailing high surrogate stays in the buffer
// until its low surrogate arrives, unless this is the last commit. The buffer
// is emptied before the stream is called, so a stream that throws never gets
// the same text twice.
void Staging::convert(bool keepHighSurrogate) {
  if (!m_stream) return;
  QEL_TRACE_ENTER("QelCnvWriter::commit");
  QEL_TRACE_ARGS("this(" << static_cast<const void*>(this) << ") m_buffer.getLen()(" << m_length << ") m_prefix("
                         << static_cast<unsigned>(m_prefix) << ") m_isUtf16(" << m_isUtf16 << ") m_isPrefixed("
                         << m_isPrefixed << ") ");
  size_t count = m_length;
  const XMLCh* text = m_buffer.data();
  XMLCh held = 0;
  if (keepHighSurrogate && count > 0 && isHighSurrogate(text[count - 1])) held = text[--count];
  if (count == 0) {
    QEL_TRACE_EXIT();
    return;
  }
  if (!m_isPrefixed) {
    QelAutoBuffer<char> mark = m_converter.fromUnicode(&m_prefix, 1);
    m_isPrefixed = true;
    m_stream->write(mark.get(), static_cast<long>(mark.size()));
  }
  // UTF-16 in the machine's byte order comes back as the staged text itself,
  // so a held-back surrogate returns to the front of the buffer only once the
  // stream has the bytes (or has thrown).
  size_t size = 0;
  const char* bytes = m_converter.fromUnicode(text, count, m_bytes, size);
  m_length = 0;
  struct HoldBack {
    Staging& staging;
    XMLCh unit;
    ~HoldBack() {
      if (unit) staging.m_buffer[staging.m_length++] = unit;
    }
  } holdBack{*this, held};
  m_stream->write(bytes, static_cast<long>(size));
  QEL_TRACE_FLOW("target.buffer()(" << std::string(bytes, size) << ") ");
  QEL_TRACE_EXIT();
}

}  // namespace qel_detail
