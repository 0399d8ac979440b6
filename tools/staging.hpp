// A command's output on its way to its destination: held back until the
// command has all of it, so that a failure midway sends nothing.
#pragma once

#include <string>

#include "qeloutstream.hpp"

namespace qelxml {

// Collects bytes in memory up to `bound`, then in a file: the descriptor
// given (written through, `bound` bytes at a time), or, without one, an
// unnamed temporary file made when the bound is first passed.
class Staging : public QelOutputStream {
 public:
  explicit Staging(size_t bound, int fd = -1) : m_bound(bound), m_fd(fd), m_ownsFd(fd < 0) {}
  ~Staging() override;
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  // Throw std::system_error.
  void write(const char* bytes, long count) override;
  // Writes out what memory holds, when there is a file.
  void flush() override;
  // Copies everything collected to `fd` from its current offset; `name` is
  // the destination in messages.
  void copyTo(int fd, const std::string& name);

  unsigned long long size() const { return m_inFile + m_memory.size(); }

 private:
  void spill();

  std::string m_memory;
  size_t m_bound;
  int m_fd;
  bool m_ownsFd;
  unsigned long long m_inFile = 0;  // bytes already in the file
};

// Writes all `count` bytes to `fd`, resuming after short writes and
// interruptions; throws std::system_error "cannot write NAME: reason".
void writeAll(int fd, const char* bytes, size_t count, const std::string& name);

}  // namespace qelxml
