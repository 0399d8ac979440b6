/// \file
/// QelTraceStream: an 8-bit stream for one trace line or for a string.
#pragma once

#include <iosfwd>
#include <string>

#include "qelrtdefs.hpp"

struct TRC1_EPB;

/// An 8-bit stream that hands its text to a trace line or appends it to a
/// string at every flush.
///
/// Making and destroying a stream that is never used costs no call: every
/// traced function makes one, also when its trace is off. Not copyable.
class QELRT_API QelTraceStream {
 public:
  /// A stream that holds nothing until the first getOs call.
  QelTraceStream() = default;
  /// Text written since the last flush is dropped.
  ~QelTraceStream() {
    if (m_impl) destroy(m_impl);
  }
  QelTraceStream(const QelTraceStream&) = delete;             ///< Not copyable.
  QelTraceStream& operator=(const QelTraceStream&) = delete;  ///< Not copyable.

  /// The stream for one trace line of the function `record`, written at
  /// source `line`; a flush writes the line. Text of an earlier getOs is
  /// flushed first.
  std::ostream& getOs(TRC1_EPB* record, int line);
  /// The stream, now appending its text to `target` at every flush. Text of
  /// an earlier getOs is flushed first.
  std::ostream& getOs(std::string& target);

 private:
  struct Impl;
  static void destroy(Impl* impl);
  Impl* m_impl = nullptr;  // owned; made by the first getOs
};
