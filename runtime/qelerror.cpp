// Errors of the utility library: the error record, logging and raising.
#include "qelerror.hpp"

#include <new>
#include <sstream>

#include "mox.hpp"

namespace {
// The utility library logs through a record of its own named "LOG".
TRC1_EPF s_logFile = {0xB4, 0x80000000u, "runtime/qelerror", 16, __DATE__, 11, __TIME__, 8,
                      "$Revision: 1.1 $", 16, "QELRT", 5, {0, 0, 0}};
std::atomic<uint32_t> s_logSync{1};
TRC1_EPB s_logRecord = {&s_logFile, "LOG", 3, __LINE__, &s_logSync, 0x200, {0}, {0}, {0, 0}};

void logLine(const std::string& text) {
  if (TRC1_Level(&s_logRecord) & 0x80) moxWriteLine(&s_logRecord, __LINE__, text);
}
}  // namespace

QelError::~QelError() = default;

void QelError::logRaise() const {
  std::ostringstream os;
  os << "!!! Error - " << m_rcName << "(" << m_rc << ") " << m_opName << "(" << m_op << ") in " << m_function
     << " at " << m_sourcePath << ":" << m_line << ": " << m_message;
  logLine(os.str());
  throw QelError(*this);
}

QelErrorFull::QelErrorFull(long rc, const char* rcName, long op, const char* opName, long, const void*,
                           unsigned long flag, int errorType, int line, const char* function, const char* revision,
                           const char* sourcePath, const char* buildDate, const std::string& message,
                           const QelError* cause) {
  m_rc = rc;
  m_rcName = rcName ? rcName : "";
  m_op = op;
  m_opName = opName ? opName : "";
  m_flag = flag;
  m_errorType = errorType;
  m_line = line;
  m_function = function ? function : "";
  m_revision = revision ? revision : "";
  m_sourcePath = sourcePath ? sourcePath : "";
  m_buildDate = buildDate ? buildDate : "";
  m_message = message;
  if (cause) m_cause = std::make_shared<QelError>(*cause);
}

QelErrorFull::~QelErrorFull() = default;

void QelErrorFull::throwBadAlloc() {
  logLine("!!! Error - out of memory");
  throw std::bad_alloc();
}

void qelCheck(const char* file, int line, const char* text, long rc, const char* rcName) {
  std::ostringstream os;
  os << "!!! Error - internal check failed at " << (file ? file : "NULL") << ":" << line << ": "
     << (text ? text : "NULL") << " " << (rcName ? rcName : "NULL") << "(" << rc << ")";
  logLine(os.str());
}
