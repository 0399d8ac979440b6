/// \file
/// Errors: the error the library throws, the record it raises, and the report
/// of a failed internal condition.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "qelrtdefs.hpp"

/// The error the library throws: a return code and operation with their
/// names, where it was raised, and a message.
///
/// Made as a QelErrorFull and thrown by QelError::logRaise. Copies are
/// independent values; the cause is shared and never changes.
class QELRT_API QelError : public std::exception {
 public:
  /// An empty error: code 0, no message.
  QelError() = default;
  ~QelError() override;
  /// The message.
  const char* what() const noexcept override { return m_message.c_str(); }
  /// The message, 8-bit.
  virtual const char* getMessage() const { return m_message.c_str(); }

  /// The return code, for example 21304 (QELRC_DOM_INVALID_XML_DOCUMENT).
  long getRc() const { return m_rc; }
  /// The return code's name, for example "QELRC_DOM_INVALID_XML_DOCUMENT".
  const std::string& getRcName() const { return m_rcName; }
  /// The operation, 101 for every error of the library.
  long getOp() const { return m_op; }
  /// The operation's name, "QELOP_REPOSITORY" for every error of the library.
  const std::string& getOpName() const { return m_opName; }
  /// The name of the function that raised the error.
  const std::string& getFunction() const { return m_function; }
  /// The source file that raised the error, as its trace record names it
  /// ("qeldom/qelipars").
  const std::string& getSourcePath() const { return m_sourcePath; }
  /// The revision text of that source file.
  const std::string& getRevision() const { return m_revision; }
  /// The source line that raised the error.
  int getLine() const { return m_line; }
  /// The flag word given when the error was made.
  unsigned long getFlag() const { return m_flag; }
  /// The error type given when the error was made (2 for the library's).
  int getErrorType() const { return m_errorType; }
  /// The error that caused this one, or null.
  const QelError* getCause() const { return m_cause.get(); }

  /// Logs the error to the trace output (level bit 0x80 of the runtime's
  /// "LOG" record) and throws a copy of it as QelError.
  [[noreturn]] void logRaise() const;

 protected:
  long m_rc = 0;                            ///< The return code.
  std::string m_rcName;                     ///< The return code's name.
  long m_op = 0;                            ///< The operation.
  std::string m_opName;                     ///< The operation's name.
  unsigned long m_flag = 0;                 ///< The flag word.
  int m_errorType = 0;                      ///< The error type.
  int m_line = 0;                           ///< The source line.
  std::string m_function;                   ///< The raising function.
  std::string m_revision;                   ///< The source file's revision text.
  std::string m_sourcePath;                 ///< The source file.
  std::string m_buildDate;                  ///< The source file's build date.
  std::string m_message;                    ///< The message.
  std::shared_ptr<const QelError> m_cause;  ///< The causing error, or null.
};

/// The record that is raised: every field of an error, in the order the
/// library gives them.
class QELRT_API QelErrorFull : public QelError {
 public:
  /// An error of every field: return code and its name, operation and its
  /// name, two extra values that are not kept (`extra`, `extraPtr`), flag
  /// word, error type, source line, function, revision, source path, build
  /// date, message, and the causing error (copied; null for none). A null
  /// text gives an empty field.
  QelErrorFull(long rc, const char* rcName, long op, const char* opName, long extra, const void* extraPtr,
               unsigned long flag, int errorType, int line, const char* function, const char* revision,
               const char* sourcePath, const char* buildDate, const std::string& message, const QelError* cause);
  ~QelErrorFull() override;  // defined out of line: its vtable lives in this library only
  /// Logs and throws the product's out-of-memory error (std::bad_alloc).
  [[noreturn]] static void throwBadAlloc();
};

/// Reports a failed internal condition to the trace output and returns: the
/// source `file` and `line`, the condition's `text`, and the return code
/// `rc` with its name `rcName` (null texts print as "NULL").
QELRT_API void qelCheck(const char* file, int line, const char* text, long rc, const char* rcName);
