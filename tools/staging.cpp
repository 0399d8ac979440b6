#include "staging.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace qelxml {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A file without a name in $TMPDIR (or /tmp): it vanishes with the process,
// however that ends.
int unnamedTemporaryFile() {
  const char* env = std::getenv("TMPDIR");
  const std::string dir = env && *env ? env : "/tmp";
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = dir + "/qelxml-XXXXXX";  // a file system without O_TMPFILE
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) fail(errno, "cannot hold the output in " + dir);
  unlink(name.c_str());
  return fd;
}

}  // namespace

void writeAll(int fd, const char* bytes, size_t count, const std::string& name) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "cannot write " + name);
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
}

Staging::~Staging() {
  if (m_ownsFd && m_fd >= 0) close(m_fd);
}

void Staging::write(const char* bytes, long count) {
  if (count <= 0) return;
  m_memory.append(bytes, static_cast<size_t>(count));
  if (m_memory.size() >= m_bound) spill();
}

void Staging::flush() {
  if (m_fd >= 0) spill();
}

void Staging::spill() {
  if (m_fd < 0) m_fd = unnamedTemporaryFile();
  writeAll(m_fd, m_memory.data(), m_memory.size(), "the temporary file");
  m_inFile += m_memory.size();
  m_memory.clear();
}

void Staging::copyTo(int fd, const std::string& name) {
  if (m_inFile > 0) {
    flush();
    if (lseek(m_fd, 0, SEEK_SET) != 0) fail(errno, "cannot read the temporary file");
    std::vector<char> chunk(1 << 20);
    for (;;) {
      ssize_t n = read(m_fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail(errno, "cannot read the temporary file");
      if (n == 0) break;
      writeAll(fd, chunk.data(), static_cast<size_t>(n), name);
    }
    return;
  }
  writeAll(fd, m_memory.data(), m_memory.size(), name);
}

}  // namespace qelxml
