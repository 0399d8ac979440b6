// qeloutstream: the caller's byte stream that the writer hands its bytes to,
// and two ready-made streams.
#pragma once

#include <cstdio>
#include <string>

#include "qelutil.hpp"

class QELRT_API QelOutputStream {
 public:
  virtual ~QelOutputStream();
  // Takes `count` bytes. A stream reports a failure by throwing.
  virtual void write(const char* bytes, long count) = 0;
  // Pushes what the stream holds to its destination; nothing by default.
  virtual void flush();
};

// Appends every byte to a string.
class QELRT_API QelStringOutputStream : public QelOutputStream {
 public:
  explicit QelStringOutputStream(std::string& target) : m_target(target) {}
  void write(const char* bytes, long count) override;

 private:
  std::string& m_target;
};

// Writes to a C stream or a file descriptor; not owned. A failed write throws
// std::system_error with the errno of the failure, so a full disk is never
// silent.
class QELRT_API QelFileOutputStream : public QelOutputStream {
 public:
  explicit QelFileOutputStream(std::FILE* file) : m_file(file), m_fd(-1) {}
  explicit QelFileOutputStream(int fd) : m_file(nullptr), m_fd(fd) {}
  void write(const char* bytes, long count) override;
  void flush() override;

 private:
  std::FILE* m_file;
  int m_fd;
};
