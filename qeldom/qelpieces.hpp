// Internal to the library: the pieces of markup and text the DOM writer
// writes into the staging buffer. Untraced, a piece is an append, and the
// writer commits between nodes. With the converting writer's write trace on,
// each piece is a write of its own, traced and committed as a caller's
// QelCnvWriter::write would be: a single character as a unit, anything
// longer as a text. The bytes are the same either way.
#pragma once

#include <cstddef>
#include <string_view>

#include "qelstaging.hpp"

namespace qel_detail {

// The converting writer's writes, traced as "QelCnvWriter::write", each
// followed by a commit once the commit size is reached: `count` units (0
// for up to the terminating zero; a null text writes nothing), and a single
// unit (traced as its number, then written as a text of one unit).
void tracedWrite(Staging& staging, const XMLCh* units, int count);
void tracedWrite(Staging& staging, XMLCh unit);
// A text of any length, as writes of at most INT_MAX units.
void tracedWriteAll(Staging& staging, const XMLCh* units, size_t count);
// Whether the converting writer's writes are traced now.
bool writesTraced();

// Units and their number; a literal's number is a constant of the caller.
struct Units {
  const XMLCh* data = nullptr;
  size_t size = 0;
  constexpr Units() = default;
  constexpr Units(const XMLCh* units, size_t count) : data(units), size(count) {}
  template <size_t N>
  constexpr Units(const XMLCh (&literal)[N]) : data(literal), size(N - 1) {}
};

// Markup around a name, written as one group of pieces: the indentation, the
// markup before the name, the name, the markup after it and a line end. Any
// of them may be empty: "<a", " id=\"", "/>\n", "  </a>\n".
struct Tag {
  size_t indent;  // blanks
  Units before;
  Units name;
  Units after;
  bool lineEnd;
};

// A small view of the staging buffer: copies share the buffer.
class Pieces {
 public:
  Pieces(Staging& staging, bool traced) : m_staging(&staging), m_traced(traced) {}

  const QelNls& converter() const { return m_staging->converter(); }

  void text(const XMLCh* units, size_t count) {
    if (m_traced)
      tracedWriteAll(*m_staging, units, count);
    else
      m_staging->append(units, count);
  }
  void text(std::u16string_view units) { text(units.data(), units.size()); }
  template <size_t N>
  void text(const XMLCh (&literal)[N]) {
    text(literal, N - 1);
  }
  void unit(XMLCh unit) {
    if (m_traced)
      tracedWrite(*m_staging, unit);
    else
      m_staging->append(unit);
  }
  void spaces(size_t count) {
    if (m_traced)
      tracedSpaces(count);
    else
      m_staging->extend(count, [count](XMLCh* out) QEL_INLINE { fillSpaces(out, count); });
  }
  // One append where the markup and its lengths are constants of the caller.
  QEL_INLINE void tag(const Tag& tag) {
    if (m_traced) {
      tracedSpaces(tag.indent);
      tracedMarkup(tag.before);
      tracedWriteAll(*m_staging, tag.name.data, tag.name.size);
      tracedMarkup(tag.after);
      if (tag.lineEnd) tracedWrite(*m_staging, u'\n');
      return;
    }
    const size_t total = tag.indent + tag.before.size + tag.name.size + tag.after.size + (tag.lineEnd ? 1 : 0);
    m_staging->extend(total, [&tag](XMLCh* out) QEL_INLINE {
      if (tag.indent) out = fillSpaces(out, tag.indent);
      copyUnits(out, tag.before.data, tag.before.size);
      out += tag.before.size;
      copyUnits(out, tag.name.data, tag.name.size);
      out += tag.name.size;
      copyUnits(out, tag.after.data, tag.after.size);
      if (tag.lineEnd) out[tag.after.size] = u'\n';
    });
  }

  void commitIfFull() { m_staging->commitIfFull(); }

 private:
  void tracedSpaces(size_t count);
  void tracedMarkup(Units markup);

  Staging* m_staging;
  bool m_traced;
};

}  // namespace qel_detail
