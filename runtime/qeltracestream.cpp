// Trace streams: one trace line at a time, or appending to a string.
#include "qeltracestream.hpp"

#include <ostream>
#include <sstream>

#include "mox.hpp"

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
