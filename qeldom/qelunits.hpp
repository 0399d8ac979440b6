// Internal to the library: copying UTF-16 units into the writers' staging
// buffer. Most pieces are short (a bracket, a name, a value, an
// indentation): up to 16 units take two overlapping loads and stores of one
// width, without a loop or a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <xercesc/util/XercesDefs.hpp>

// Inlined wherever it is called: the writers' hot path, where the callers'
// constant lengths fold the branches away.
#define QEL_INLINE __attribute__((always_inline))

namespace qel_detail {

// Copies `count` units, at least one Word's worth and at most two, as two
// overlapping Words.
template <typename Word>
QEL_INLINE inline void copyTwoWords(XMLCh* out, const XMLCh* in, size_t count) {
  constexpr size_t units = sizeof(Word) / sizeof(XMLCh);
  Word head, tail;
  std::memcpy(&head, in, sizeof head);
  std::memcpy(&tail, in + count - units, sizeof tail);
  std::memcpy(out, &head, sizeof head);
  std::memcpy(out + count - units, &tail, sizeof tail);
}

QEL_INLINE inline void copyUnits(XMLCh* out, const XMLCh* in, size_t count) {
  struct Block {
    uint64_t low, high;
  };
  if (count > 16)
    std::memcpy(out, in, count * sizeof(XMLCh));
  else if (count > 8)
    copyTwoWords<Block>(out, in, count);
  else if (count >= 4)
    copyTwoWords<uint64_t>(out, in, count);
  else if (count >= 2)
    copyTwoWords<uint32_t>(out, in, count);
  else if (count == 1)
    *out = *in;
}

// Blanks to copy an indentation from, at most s_spacesLength at a time.
inline constexpr XMLCh s_spaces[] = u"                                                                ";
inline constexpr size_t s_spacesLength = sizeof s_spaces / sizeof s_spaces[0] - 1;

// Writes `count` blanks; returns the end.
inline XMLCh* fillSpaces(XMLCh* out, size_t count) {
  for (; count > s_spacesLength; count -= s_spacesLength, out += s_spacesLength)
    copyUnits(out, s_spaces, s_spacesLength);
  copyUnits(out, s_spaces, count);
  return out + count;
}

}  // namespace qel_detail
