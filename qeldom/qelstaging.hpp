// Internal to the library: the staging buffer both writers write through.
// Text is collected as UTF-16; once 4096 units or more have gathered the
// writer commits, and the staged text is converted in one call of the
// code-page converter and handed to the caller's stream in one write.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "nyl.hpp"
#include "qeloutstream.hpp"
#include "qelunits.hpp"

namespace qel_detail {

class Staging {
 public:
  // The commit size, in units.
  static constexpr size_t s_capacity = 4096;

  // Text for `stream`, in the encoding of that name. Whether the converter
  // could be built is the caller's to ask (LcGetError on its locale). With
  // `withPrefix` a UTF-16 output begins with a byte order mark.
  Staging(QelOutputStream& stream, const XMLCh* encoding, bool withPrefix);
  // A buffer that keeps all its text and converts nothing, for a text wanted
  // whole (text()). Its converter is UTF-16's, which holds every character.
  Staging();
  // The last commit, unless finish() has made it or the converter could not
  // be built. A stream failure is dropped: only an exception on its way skips
  // finish(), and that exception already tells the caller.
  ~Staging();
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  const QelNls& converter() const { return m_converter; }
  std::u16string_view text() const { return std::u16string_view(m_buffer.data(), m_length); }

  // Appends `count` units, which `fill` writes at the address it is given.
  template <typename Fill>
  QEL_INLINE void extend(size_t count, Fill fill) {
    if (count > m_buffer.size() - m_length) grow(count);
    fill(m_buffer.data() + m_length);
    m_length += count;
  }
  void append(const XMLCh* units, size_t count) {
    extend(count, [units, count](XMLCh* out) QEL_INLINE { copyUnits(out, units, count); });
  }
  void append(XMLCh unit) {
    extend(1, [unit](XMLCh* out) QEL_INLINE { *out = unit; });
  }

  void commitIfFull() {
    if (m_length >= s_capacity) commit();
  }
  // Converts the staged text and hands the bytes to the stream. A trailing
  // high surrogate waits for its low surrogate, unless `all` is set (the
  // converter then writes a reference for a lone one).
  void commit(bool all = false) { convert(!all); }
  // The last commit, of a writer being destroyed: all the staged text. A
  // stream failure is thrown, unless an exception that began after the
  // buffer was made is on its way.
  void finish();

 private:
  void grow(size_t count);
  void convert(bool keepHighSurrogate);

  QelOutputStream* m_stream;  // null: the text is kept
  QelNls m_converter;
  std::vector<XMLCh> m_buffer;  // the staged text: m_length units in use
  size_t m_length = 0;
  std::vector<char> m_bytes;  // the converted bytes of a commit, reused
  XMLCh m_prefix = 0;         // the byte order mark of a UTF-16 output
  bool m_isUtf16 = false;
  bool m_isPrefixed = true;  // no mark is owed
  int m_uncaughtAtStart;     // exceptions in flight when the buffer was made
  bool m_lastCommitOwed;     // until finish(); never where the converter could not be built
};

}  // namespace qel_detail
