// Internal to the library: the writer's replacement tables, which say which
// characters of a text or an attribute value are written as references and
// by which, and the scan that finds the next character to look at.
#pragma once

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <xercesc/util/XercesDefs.hpp>

namespace qel_detail {

struct QelDomReplaceTable;

// Which units above ASCII a scan stops at, to be looked at one by one: all
// of them, those from U+0100 (where the code page holds U+0080 to U+00FF), or
// only surrogates, U+FFFE and U+FFFF. An index into QelDomReplaceTable::scan.
enum ScanStart : unsigned char { fromU0080, fromU0100, fromUD800 };

// The first unit at or after `p` that is not plain text for the table: a
// unit below U+0020 (the terminating zero, a control, TAB, LF, CR), a symbol
// of the table (and U+007F in XML 1.1), or a unit the scan stops at.
using ScanFn = const XMLCh* (*)(const XMLCh* p, const QelDomReplaceTable& table);

struct QelDomReplaceTable {
  static constexpr int s_maxSymbols = 10;
  static constexpr signed char s_end = 100;  // in `index`: the terminating zero
  static constexpr signed char s_control =
      101;  // in `index`: a control the version allows only as a reference, or never

  const XMLCh* symbols;             // zero-terminated
  const XMLCh* refs[s_maxSymbols];  // refs[k] replaces symbols[k]
  int refLengths[s_maxSymbols];     // in units
  int count;                        // of symbols
  signed char index[128];           // ASCII unit -> its position in `symbols`, -1 when plain, s_end, s_control
  int laneCount;                    // the symbols, and U+007F in XML 1.1
#ifdef __SSE2__
  __m128i lanes[s_maxSymbols + 1];  // each in all eight lanes
#endif
  ScanFn scan[3];  // by ScanStart
};

// The tables of one XML version: text, attribute values (plain, with line
// ends as references, canonical) and entity values, which keep "&", "%", the
// quotation mark and CR only as character references.
struct ReplaceTables {
  QelDomReplaceTable text, lineText, canonicalText, attr, lineAttr, canonicalAttr, entityValue;
};
const ReplaceTables& replaceTables(bool xml11);

}  // namespace qel_detail
