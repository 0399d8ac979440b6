#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

namespace qelxml {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

// The mode a new file gets from open(2), or the mode of the file replaced.
mode_t targetMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

Output::Output(const std::string& path) {
  if (path.empty() || path == "-") {
    m_stream = std::make_unique<QelFileOutputStream>(stdout);
    return;
  }
  m_path = path;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = dir + "." + base + ".qelxml-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  m_fd = mkstemp(name.data());
  if (m_fd < 0) fail("cannot create a file beside " + path);
  m_tempPath = name.data();
  if (fchmod(m_fd, targetMode(path)) != 0) {
    int saved = errno;
    close(m_fd);
    unlink(m_tempPath.c_str());
    errno = saved;
    fail("cannot set the mode of " + m_tempPath);
  }
  m_stream = std::make_unique<QelFileOutputStream>(m_fd);
}

Output::~Output() {
  if (m_fd >= 0) close(m_fd);
  if (!m_tempPath.empty()) unlink(m_tempPath.c_str());
}

void Output::commit() {
  m_stream->flush();
  if (m_path.empty()) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("cannot write to standard output");
    return;
  }
  int fd = m_fd;
  m_fd = -1;
  if (fsync(fd) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    fail("cannot write " + m_path);
  }
  if (close(fd) != 0) fail("cannot write " + m_path);
  if (rename(m_tempPath.c_str(), m_path.c_str()) != 0) fail("cannot replace " + m_path);
  m_tempPath.clear();
}

}  // namespace qelxml
