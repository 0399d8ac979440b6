#include "output.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <system_error>
#include <vector>

#include "commands.hpp"
#include "staging.hpp"

namespace qelxml {

namespace {

// Standard output and in-place targets get nothing until the output is
// complete: it waits in memory up to this size, then in an unnamed file.
constexpr size_t s_heldInMemory = size_t{64} << 20;
// A temporary file beside the target is written in pieces of this size.
constexpr size_t s_writePiece = size_t{64} << 10;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// --- the temporary file beside the target, and the signals that remove it -------------

// The tool's one process-wide slot: the name of the temporary file while it
// exists, for the signal handler, which may use nothing else. There is at
// most one at a time.
char s_temporary[PATH_MAX];
volatile sig_atomic_t s_haveTemporary = 0;
constexpr int s_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaryAndDie(int number) {
  if (s_haveTemporary) unlink(s_temporary);
  signal(number, SIG_DFL);
  raise(number);  // delivered when the handler returns: the process ends as the signal says
}

// Holds the three signals back for its lifetime: the slot and the file
// change together, and a rename or an overwrite once begun is finished.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : s_signals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &m_saved);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &m_saved, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t m_saved;
};

// The handler for each of the three signals the process does not ignore
// (a nohup'ed run keeps ignoring SIGHUP).
void catchSignals() {
  for (int s : s_signals) {
    struct sigaction current;
    if (sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = removeTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    for (int t : s_signals) sigaddset(&action.sa_mask, t);
    sigaction(s, &action, nullptr);
  }
}

void removeTemporary() {
  SignalsHeld held;
  if (s_haveTemporary) unlink(s_temporary);
  s_haveTemporary = 0;
}

// "dir/" of a path, or "" for a name in the current directory.
std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A temporary file in the directory of `target`, under a short name (the
// target's own may be at the length limit), with the mode, owner and group
// of `like`, or without it the mode open(2) gives a new file. -1 with errno
// when the directory takes no new file or the owner or group cannot be kept.
int makeTemporary(const std::string& target, const struct stat* like) {
  const std::string pattern = directoryOf(target) + ".qelxml-XXXXXX";
  if (pattern.size() >= sizeof s_temporary) {
    errno = ENAMETOOLONG;
    return -1;
  }
  SignalsHeld held;
  std::memcpy(s_temporary, pattern.c_str(), pattern.size() + 1);
  int fd = mkostemp(s_temporary, O_CLOEXEC);
  if (fd < 0) return -1;
  s_haveTemporary = 1;
  catchSignals();
  mode_t mode;
  struct stat made;
  bool ok = fstat(fd, &made) == 0;
  if (like) {
    if (ok && (made.st_uid != like->st_uid || made.st_gid != like->st_gid))
      ok = fchown(fd, like->st_uid, like->st_gid) == 0;
    mode = like->st_mode & 07777;  // after fchown, which clears the set-id bits
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (ok && fchmod(fd, mode) == 0) return fd;
  const int error = errno;
  close(fd);
  unlink(s_temporary);
  s_haveTemporary = 0;
  errno = error;
  return -1;
}

// The end of the chain of symbolic links at `path` (the path itself when
// there is none): the file to write, or to create for a dangling link.
std::string endOfLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::vector<char> next(PATH_MAX);
    ssize_t n = readlink(at.c_str(), next.data(), next.size());
    if (n < 0) fail(errno, "cannot write " + path);
    if (static_cast<size_t>(n) == next.size()) fail(ENAMETOOLONG, "cannot write " + path);
    at = next[0] == '/' ? std::string(next.data(), n) : directoryOf(at) + std::string(next.data(), n);
  }
  fail(ELOOP, "cannot write " + path);
}

// After a rename: the directory's new entry on disk, as far as it can be.
void syncDirectory(const std::string& file) {
  const std::string dir = directoryOf(file);
  int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

// --- the output ------------------------------------------------------------------------

Output::Output(const std::string& path) {
  if (path.empty() || path == "-") {
    m_staging = std::make_unique<Staging>(s_heldInMemory);
    return;
  }
  m_path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) fail(errno, "cannot write " + path);
    m_target = endOfLinks(path);  // a dangling link: its destination is created
    m_fd = makeTemporary(m_target, nullptr);
    if (m_fd < 0) fail(errno, "cannot create " + path);
    m_plan = Plan::create;
    m_staging = std::make_unique<Staging>(s_writePiece, m_fd);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0) fail(errno, "cannot write " + path);
    m_plan = Plan::stream;
    m_staging = std::make_unique<Staging>(s_heldInMemory);
    return;
  }
  // A regular file, perhaps behind links. A link that the kernel resolves
  // otherwise than its text says (those under /proc) is written through.
  m_target = endOfLinks(path);
  struct stat end;
  const bool found = stat(m_target.c_str(), &end) == 0 && end.st_dev == st.st_dev && end.st_ino == st.st_ino;
  if (!found) m_target = path;
  int target = open(m_target.c_str(), O_WRONLY | O_CLOEXEC);  // refused where > would be
  if (target < 0) fail(errno, "cannot write " + path);
  if (found && st.st_nlink == 1) {
    m_fd = makeTemporary(m_target, &st);
    if (m_fd >= 0) {
      close(target);
      m_plan = Plan::replace;
      m_staging = std::make_unique<Staging>(s_writePiece, m_fd);
      return;
    }
  }
  m_fd = target;
  m_plan = Plan::inPlace;
  m_staging = std::make_unique<Staging>(s_heldInMemory);
}

Output::~Output() {
  if (m_fd >= 0) close(m_fd);
  if (m_plan == Plan::replace || m_plan == Plan::create) removeTemporary();
}

QelOutputStream& Output::stream() { return *m_staging; }

void Output::commit() {
  const std::string what = "cannot write " + m_path;
  auto closeTarget = [&] {
    int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) fail(errno, what);
  };
  switch (m_plan) {
    case Plan::standardOutput:
      std::fflush(stdout);
      m_staging->copyTo(STDOUT_FILENO, "standard output");
      return;
    case Plan::stream:
      m_staging->copyTo(m_fd, m_path);
      closeTarget();
      return;
    case Plan::inPlace: {
      SignalsHeld held;
      const auto size = static_cast<off_t>(m_staging->size());
      if (size > 0 && fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        fail(errno, what);  // no space: the old content stays
      m_staging->copyTo(m_fd, m_path);
      if (ftruncate(m_fd, size) != 0 || fsync(m_fd) != 0) fail(errno, what);
      closeTarget();
      return;
    }
    case Plan::replace:
    case Plan::create: {
      m_staging->flush();
      if (fsync(m_fd) != 0) fail(errno, what);
      closeTarget();
      SignalsHeld held;
      int rc;
      if (m_plan == Plan::replace) {
        rc = rename(s_temporary, m_target.c_str());
      } else {  // never over a file that appeared meanwhile
        rc = renameat2(AT_FDCWD, s_temporary, AT_FDCWD, m_target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = rename(s_temporary, m_target.c_str());
      }
      if (rc != 0) fail(errno, what);
      s_haveTemporary = 0;
      syncDirectory(m_target);
      return;
    }
  }
}

// --- the standard streams ----------------------------------------------------------------

void guardStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

int finishStandardOutput(int rc) {
  std::cout.flush();
  // A write that failed earlier left its errno: nothing since sets it.
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::cout.fail()) return rc;
  complain(std::string("cannot write standard output: ") + std::strerror(errno ? errno : EIO));
  return rc != 0 ? rc : 1;
}

}  // namespace qelxml
