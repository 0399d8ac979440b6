// The converting writer's traced writes, and the DOM writer's pieces as such
// writes.
#include "qelpieces.hpp"

#include <climits>

#include "qelframe.hpp"

QEL_TRACE_FILE("qeldom/qelpieces", "$Revision: 1.1 $");

namespace qel_detail {

namespace {

// Function records at namespace scope, so that the DOM writer can read their
// level once per run.
#define QEL_TRACE_RECORD(var, name) \
  TRC1_EPB var = {&s_trcFile, name, sizeof(name) - 1, __LINE__, &s_trcSync, 0x800, {0}, {0}, {0, 0}}
QEL_TRACE_RECORD(s_writeChars, "QelCnvWriter::write");
QEL_TRACE_RECORD(s_writeUnit, "QelCnvWriter::write");
#undef QEL_TRACE_RECORD

}  // namespace

bool writesTraced() { return (TRC1_Level(&s_writeChars) | TRC1_Level(&s_writeUnit)) & 0x40; }

void tracedWrite(Staging& staging, const XMLCh* units, int count) {
  Trace trc_(s_writeChars, __LINE__);
  QEL_TRACE_ARGS("(" << u16(units, count > 0 ? static_cast<unsigned>(count) : 0u) << ")");
  if (units) staging.append(units, count > 0 ? static_cast<size_t>(count) : qelStrlen(units));
  staging.commitIfFull();
  QEL_TRACE_EXIT();
}

void tracedWrite(Staging& staging, XMLCh unit) {
  Trace trc_(s_writeUnit, __LINE__);
  QEL_TRACE_ARGS("(" << static_cast<unsigned>(unit) << ")");
  tracedWrite(staging, &unit, 1);
  QEL_TRACE_EXIT();
}

void tracedWriteAll(Staging& staging, const XMLCh* units, size_t count) {
  for (; count > INT_MAX; count -= INT_MAX, units += INT_MAX) tracedWrite(staging, units, INT_MAX);
  if (count) tracedWrite(staging, units, static_cast<int>(count));
}

void Pieces::tracedSpaces(size_t count) {
  for (; count > s_spacesLength; count -= s_spacesLength) tracedWriteAll(*m_staging, s_spaces, s_spacesLength);
  tracedWriteAll(*m_staging, s_spaces, count);
}

// A single unit of markup as a unit, anything longer as a text.
void Pieces::tracedMarkup(Units markup) {
  if (markup.size == 1)
    tracedWrite(*m_staging, markup.data[0]);
  else
    tracedWriteAll(*m_staging, markup.data, markup.size);
}

}  // namespace qel_detail
