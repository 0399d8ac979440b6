/// \file
/// qeloutstream: the caller's byte stream that the writer hands its bytes to,
/// and two ready-made streams.
#pragma once

#include <cstdio>
#include <string>

#include "qelutil.hpp"

/// A byte stream that the writer hands its output to. Derive from it to send
/// the bytes anywhere.
class QELRT_API QelOutputStream {
 public:
  virtual ~QelOutputStream();
  /// Takes the `count` bytes at `bytes`. A stream reports a failure by
  /// throwing; the writer lets the exception pass.
  virtual void write(const char* bytes, long count) = 0;
  /// Pushes what the stream holds to its destination; does nothing by
  /// default.
  virtual void flush();
};

/// A stream that appends every byte to a string.
class QELRT_API QelStringOutputStream : public QelOutputStream {
 public:
  /// Appends to `target`, which must outlive the stream.
  explicit QelStringOutputStream(std::string& target) : m_target(target) {}
  /// Appends the bytes to the string.
  void write(const char* bytes, long count) override;

 private:
  std::string& m_target;
};

/// A stream that writes to a C stream or a file descriptor, which it does not
/// own. A failed write or flush throws std::system_error with the errno of the
/// failure, so a full disk is never silent.
class QELRT_API QelFileOutputStream : public QelOutputStream {
 public:
  /// Writes to the C stream `file`.
  explicit QelFileOutputStream(std::FILE* file) : m_file(file), m_fd(-1) {}
  /// Writes to the file descriptor `fd`, retrying interrupted and partial
  /// writes.
  explicit QelFileOutputStream(int fd) : m_file(nullptr), m_fd(fd) {}
  /// Writes the bytes; throws std::system_error when that fails.
  void write(const char* bytes, long count) override;
  /// Flushes the C stream (a file descriptor has nothing to flush); throws
  /// std::system_error when that fails.
  void flush() override;

 private:
  std::FILE* m_file;
  int m_fd;
};
