// Errors: the error the library throws, the record it raises, and the report
// of a failed internal condition.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "qelrtdefs.hpp"

class QELRT_API QelError : public std::exception {
 public:
  QelError() = default;
  ~QelError() override;
  const char* what() const noexcept override { return m_message.c_str(); }
  virtual const char* getMessage() const { return m_message.c_str(); }

  long getRc() const { return m_rc; }
  const std::string& getRcName() const { return m_rcName; }
  long getOp() const { return m_op; }
  const std::string& getOpName() const { return m_opName; }
  const std::string& getFunction() const { return m_function; }
  const std::string& getSourcePath() const { return m_sourcePath; }
  const std::string& getRevision() const { return m_revision; }
  int getLine() const { return m_line; }
  unsigned long getFlag() const { return m_flag; }
  int getErrorType() const { return m_errorType; }
  // The error that caused this one, or null.
  const QelError* getCause() const { return m_cause.get(); }

  // Logs the error to the trace output and throws it as QelError.
  [[noreturn]] void logRaise() const;

 protected:
  long m_rc = 0;
  std::string m_rcName;
  long m_op = 0;
  std::string m_opName;
  unsigned long m_flag = 0;
  int m_errorType = 0;
  int m_line = 0;
  std::string m_function;
  std::string m_revision;
  std::string m_sourcePath;
  std::string m_buildDate;
  std::string m_message;
  std::shared_ptr<const QelError> m_cause;
};

// The record that is raised: every field of an error, in the order the
// library gives them.
class QELRT_API QelErrorFull : public QelError {
 public:
  QelErrorFull(long rc, const char* rcName, long op, const char* opName, long extra, const void* extraPtr,
               unsigned long flag, int errorType, int line, const char* function, const char* revision,
               const char* sourcePath, const char* buildDate, const std::string& message, const QelError* cause);
  ~QelErrorFull() override;  // defined out of line: its vtable lives in this library only
  // Throws the product's out-of-memory error (std::bad_alloc).
  [[noreturn]] static void throwBadAlloc();
};

// Reports a failed internal condition to the trace output; returns.
QELRT_API void qelCheck(const char* file, int line, const char* text, long rc, const char* rcName);
