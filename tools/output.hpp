// Where a qelxml command writes its result: standard output or a file, with
// nothing sent until the command has its whole output, and nothing at a path
// destroyed on the way.
#pragma once

#include <memory>
#include <string>

#include "qeloutstream.hpp"

namespace qelxml {

class Staging;

// The output of one command; "-" or an empty path is standard output. What
// is at a path decides how it is written, as the shell's > would write it
// but without ever leaving it half written:
//  - nothing there, or a regular file with one link in a directory that
//    takes a new file: a temporary file beside it, renamed over it at the
//    end (keeping its permission bits, owner and group);
//  - a symbolic link, dangling or not: the same for the file it leads to;
//  - a regular file with several links, one whose owner or group the
//    temporary file could not take, or one in a directory that takes no new
//    file: overwritten in place once the output is complete, so that every
//    name sees the new content (space is reserved first where the file
//    system can, so that a full disk leaves the old content);
//  - anything else (a device, a FIFO, a socket): opened like the shell's >
//    when the command starts, written when the output is complete.
// A path the shell's > could not write is refused when the command starts.
// SIGINT, SIGTERM and SIGHUP remove the temporary file and leave the target
// as it was. Failures throw std::system_error "cannot write PATH: reason".
class Output {
 public:
  explicit Output(const std::string& path);
  // Without commit(): the temporary file is removed, the target untouched.
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  QelOutputStream& stream();
  // Sends the output to its destination.
  void commit();

 private:
  enum class Plan { standardOutput, stream, inPlace, replace, create };
  void openInPlace(const std::string& file);

  Plan m_plan = Plan::standardOutput;
  std::string m_path;    // as the user named it, for messages
  std::string m_target;  // the file a temporary replaces or becomes
  int m_fd = -1;         // the target (in place, stream) or the temporary file
  std::unique_ptr<Staging> m_staging;
};

// Makes sure descriptors 0, 1 and 2 are open, so that no file the tool opens
// takes their place: a closed one is opened on /dev/null the wrong way round
// (standard input write-only, the others read-only), so that using it still
// fails.
void guardStandardDescriptors();

// Flushes standard output. When anything written to it failed, says so on
// standard error with the system's reason and gives 1 (or `rc` if that is
// already a failure); otherwise gives `rc`.
int finishStandardOutput(int rc);

}  // namespace qelxml
