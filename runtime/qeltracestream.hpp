// Trace streams: an 8-bit stream for one trace line or for a string.
#pragma once

#include <iosfwd>
#include <string>

#include "qelrtdefs.hpp"

struct TRC1_EPB;

// An 8-bit stream for one trace line (ended by a flush) or for appending to a
// string. It holds nothing until the first getOs call.
class QELRT_API QelTraceStream {
 public:
  // Creating and destroying a stream that was never used costs no call: every
  // traced function makes one, also when its trace is off.
  QelTraceStream() = default;
  ~QelTraceStream() {
    if (m_impl) destroy(m_impl);
  }
  QelTraceStream(const QelTraceStream&) = delete;
  QelTraceStream& operator=(const QelTraceStream&) = delete;

  // A stream for one trace line of the function record; a flush ends the line.
  std::ostream& getOs(TRC1_EPB* record, int line);
  // A stream that appends to the string at every flush.
  std::ostream& getOs(std::string& target);

 private:
  struct Impl;
  static void destroy(Impl* impl);
  Impl* m_impl = nullptr;  // owned; made by the first getOs
};
