// The output stream interface and the two ready-made streams.
#include "qeloutstream.hpp"

#include <unistd.h>

#include <cerrno>
#include <system_error>

QelOutputStream::~QelOutputStream() = default;

void QelOutputStream::flush() {}

void QelStringOutputStream::write(const char* bytes, long count) {
  if (count > 0) m_target.append(bytes, static_cast<size_t>(count));
}

void QelFileOutputStream::write(const char* bytes, long count) {
  if (count <= 0) return;
  if (m_file) {
    if (std::fwrite(bytes, 1, static_cast<size_t>(count), m_file) != static_cast<size_t>(count))
      throw std::system_error(errno ? errno : EIO, std::generic_category(), "write to output file failed");
    return;
  }
  while (count > 0) {
    ssize_t n = ::write(m_fd, bytes, static_cast<size_t>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to output file failed");
    }
    bytes += n;
    count -= n;
  }
}

void QelFileOutputStream::flush() {
  if (m_file && std::fflush(m_file) != 0)
    throw std::system_error(errno ? errno : EIO, std::generic_category(), "flush of output file failed");
}
