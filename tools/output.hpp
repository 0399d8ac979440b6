// Where a qelxml command writes its result: standard output, or a file that
// appears whole or not at all.
#pragma once

#include <string>

#include "qeloutstream.hpp"

namespace qelxml {

// The output of one command. For a file, the bytes go to a temporary file in
// the target's directory, which commit() renames over the target; an output
// destroyed without commit() removes the temporary file, so a failure never
// leaves a partial file behind. "-" or an empty path means standard output.
class Output {
 public:
  explicit Output(const std::string& path);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  QelOutputStream& stream() { return *m_stream; }
  // Flushes everything to its destination; throws std::system_error.
  void commit();

 private:
  std::string m_path;  // empty for standard output
  std::string m_tempPath;
  int m_fd = -1;
  std::unique_ptr<QelOutputStream> m_stream;
};

}  // namespace qelxml
