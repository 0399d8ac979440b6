// The writer's replacement tables, built once from the symbol sets, and the
// scans for plain text.
#include "qelreplace.hpp"

#include <cstdint>
#include <stdexcept>

#include "qelconv.hpp"
#include "qeldstr.hpp"
#include "qelxmlchars.hpp"

namespace qel_detail {

namespace {

// Scans for the first unit at or after `p` that is not plain text: a unit
// below U+0020 (the terminating zero, a control), a symbol of the table (and
// U+007F in XML 1.1), or a unit from `Limit` up. TAB, LF and CR stop the scan
// too; the caller passes them on.
// With SSE2 eight units are tested at a time. A load never reaches into the
// next page, but it may read past the terminating zero within the page,
// which the address sanitizer would report, hence the attribute. `Lanes` is
// the table's number of lanes, so that they stay in registers and the
// comparisons are unrolled; 0 reads it from the table.
template <int Lanes, XMLCh Limit>
__attribute__((no_sanitize("address"))) const XMLCh* skipPlainOf(const XMLCh* p, const QelDomReplaceTable& table) {
  auto stops = [&table](XMLCh c) { return c < 0x20 || c >= Limit || (c < 0x80 && table.index[c] >= 0); };
#ifdef __SSE2__
  // One unsigned comparison finds both ends: a unit minus 0x20 is at least
  // `Limit` minus 0x20 when the unit is below 0x20 or from `Limit` up. SSE2
  // compares signed, hence the flipped sign bits.
  const __m128i space = _mm_set1_epi16(0x20);
  const __m128i signFlip = _mm_set1_epi16(static_cast<short>(0x8000));
  const __m128i inside = _mm_set1_epi16(static_cast<short>((Limit - 0x20 - 1) ^ 0x8000));
  const int count = Lanes ? Lanes : table.laneCount;
  __m128i lanes[Lanes ? Lanes : QelDomReplaceTable::s_maxSymbols + 1];
  for (int k = 0; k < count; ++k) lanes[k] = table.lanes[k];
  for (;;) {
    if ((reinterpret_cast<uintptr_t>(p) & 4095) > 4096 - 16) {  // the load would cross a page: one unit
      if (stops(*p)) return p;
      ++p;
      continue;
    }
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_cmpgt_epi16(_mm_xor_si128(_mm_sub_epi16(v, space), signFlip), inside);
    for (int k = 0; k < count; ++k) hit = _mm_or_si128(hit, _mm_cmpeq_epi16(v, lanes[k]));
    if (int mask = _mm_movemask_epi8(hit)) return p + __builtin_ctz(static_cast<unsigned>(mask)) / 2;
    p += 8;
  }
#else
  while (!stops(*p)) ++p;
  return p;
#endif
}

// The tables hold three to seven symbols, and U+007F in XML 1.1: those
// counts of lanes are unrolled; any other count is read from the table.
template <XMLCh Limit>
ScanFn scanOf(int lanes) {
  constexpr ScanFn unrolled[] = {skipPlainOf<3, Limit>, skipPlainOf<4, Limit>, skipPlainOf<5, Limit>,
                                 skipPlainOf<6, Limit>, skipPlainOf<7, Limit>, skipPlainOf<8, Limit>};
  return lanes >= 3 && lanes <= 8 ? unrolled[lanes - 3] : skipPlainOf<0, Limit>;
}

// The predefined references of the symbols.
struct Reference {
  XMLCh symbol;
  const XMLCh* text;
};
const Reference s_references[] = {{u'&', QelUni::s_refAmp},  {u'<', QelUni::s_refLt},  {u'>', QelUni::s_refGt},
                                  {u'"', QelUni::s_refQuot}, {u'\r', QelUni::s_ref13}, {u'\n', QelUni::s_ref10},
                                  {u'\t', QelUni::s_ref9}};

const XMLCh* referenceOf(XMLCh symbol) {
  for (const Reference& reference : s_references)
    if (reference.symbol == symbol) return reference.text;
  throw std::logic_error("replacement table: a symbol without a predefined reference");
}

// The table for the symbols, each replaced by its predefined reference, or
// by refs[k] where a literal needs character references instead.
QelDomReplaceTable makeTable(const XMLCh* symbols, bool xml11, const XMLCh* const* refs = nullptr) {
  QelDomReplaceTable table{};
  table.symbols = symbols;
  for (int c = 0; c < 128; ++c) table.index[c] = c < 0x20 && !isWhiteControl(c) ? QelDomReplaceTable::s_control : -1;
  if (xml11) table.index[0x7F] = QelDomReplaceTable::s_control;
  table.index[0] = QelDomReplaceTable::s_end;
  for (int k = 0; symbols[k]; ++k) {
    if (k == QelDomReplaceTable::s_maxSymbols || symbols[k] >= 0x80)
      throw std::length_error("replacement table: more than ten symbols, or one above ASCII");
    const XMLCh* ref = refs ? refs[k] : referenceOf(symbols[k]);
    table.refs[k] = ref;
    table.refLengths[k] = static_cast<int>(qelStrlen(ref));
    table.index[symbols[k]] = static_cast<signed char>(k);
    table.count = k + 1;
  }
  table.laneCount = table.count + (xml11 ? 1 : 0);
#ifdef __SSE2__
  for (int k = 0; k < table.count; ++k) table.lanes[k] = _mm_set1_epi16(static_cast<short>(symbols[k]));
  if (xml11) table.lanes[table.count] = _mm_set1_epi16(0x7F);
#endif
  table.scan[fromU0080] = scanOf<0x80>(table.laneCount);
  table.scan[fromU0100] = scanOf<0x100>(table.laneCount);
  table.scan[fromUD800] = scanOf<0xD800>(table.laneCount);
  return table;
}

// An entity value keeps "&", "%", the quotation mark and CR only as
// character references: "&amp;" would stay "&amp;" in its replacement text.
const XMLCh s_entityValueSymbols[] = u"&%\"\r";
const XMLCh* const s_entityValueRefs[] = {u"&#38;", u"&#37;", u"&#34;", u"&#13;"};

ReplaceTables makeTables(bool xml11) {
  return ReplaceTables{makeTable(QelUni::s_textSymbols, xml11),
                       makeTable(QelUni::s_lineTextSymbols, xml11),
                       makeTable(QelUni::s_canonicalTextSymbols, xml11),
                       makeTable(QelUni::s_attrSymbols, xml11),
                       makeTable(QelUni::s_lineAttrSymbols, xml11),
                       makeTable(QelUni::s_canonicalAttrSymbols, xml11),
                       makeTable(s_entityValueSymbols, xml11, s_entityValueRefs)};
}

const ReplaceTables s_tables10 = makeTables(false);
const ReplaceTables s_tables11 = makeTables(true);

}  // namespace

const ReplaceTables& replaceTables(bool xml11) { return xml11 ? s_tables11 : s_tables10; }

}  // namespace qel_detail
