// Internal to the library: the trace pattern every traced function follows,
// the value inserts of message formats, and the error-raising convention.
//
// A source file names itself once:
//   QEL_TRACE_FILE("qeldom/qelidwrt", "$Revision: 1.1 $");
// A traced function opens its trace at its head and closes it at each normal
// return (never when an exception leaves it):
//   DOMDocument* tavGetDoc(DOMNode* node) {
//     QEL_TRACE_ENTER("tavGetDoc");
//     QEL_TRACE_ARGS("(" << node << ")");
//     ...
//     QEL_TRACE_FLOW("The passed node is NULL");
//     QEL_TRACE_EXIT();
//     return nullptr;
//   }
// The level word is read once per call; with tracing off a traced function
// costs one comparison, one bit test per trace point and an empty stream.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "mox.hpp"
#include "qeldom.hpp"
#include "qelutil.hpp"

namespace qel_detail {

// The library's single list of clean-up functions: the once-only slots link
// theirs into it, qelDomCleanup runs it. Constant-initialised, so it is there
// before any code of the library runs.
inline QelPoolCtrlList& poolList() {
  static QelPoolCtrlList s_list;
  return s_list;
}

// A once-only object of the library: a T made with new on first use, under a
// lock of its own, and destroyed by qelDomCleanup. Slot and lock are
// constant-initialised, so they are ready when the library is loaded. A
// QelError that the making throws is recorded in the slot: this and every
// later get() raises it again, and nothing is made a second time. One
// instantiation per type, each in the one file that uses it.
template <typename T>
class OnceOnly {
 public:
  // Whether the object is there: one byte read, no lock.
  static bool ready() { return s_slot.state() == 1; }
  // The object, made first when it is not there yet.
  static T& get() { return *static_cast<T*>(s_slot.get(s_lock, fill)); }

 private:
  // The object stays in an owner until the slot has taken it: should linking
  // the clean-up fail, it is destroyed rather than lost.
  static void fill() {
    if (s_slot.state() != 0) return;  // the slot raises a recorded failure again
    try {
      std::unique_ptr<T> object(new T);
      s_slot.initOk(object.get(), empty, poolList(), 0);
      object.release();
    } catch (const QelError& e) {
      s_slot.initError(e, empty, poolList(), 0);
    }
  }
  static void empty() { delete static_cast<T*>(s_slot.release()); }

  static inline QelPoolCtrl s_slot;
  static inline std::mutex s_lock;
};

// The per-call trace state of one traced function.
class Trace {
 public:
  Trace(TRC1_EPB& record, int line) : m_record(record), m_level(TRC1_Level(&record)) {
    if (m_level & 0x40) TRC1_Event(&m_record, line, 0);
  }
  uint32_t level() const { return m_level; }
  bool flow() const { return m_level & 0x40; }
  bool error() const { return m_level & 0x80; }
  bool state() const { return m_level & 0x10; }
  std::ostream& line(int line) { return m_stream.getOs(&m_record, line); }
  void exit(int line) {
    if (m_level & 0x40) TRC1_Event(&m_record, line, 2);
  }
  void exitValue(int line, long value) {
    if (m_level & 0x40) TRC1_Event(&m_record, line, 1, value);
  }
  TRC1_EPB& record() { return m_record; }

 private:
  TRC1_EPB& m_record;
  uint32_t m_level;
  QelTraceStream m_stream;
};

// A UTF-16 text written into a trace line through qelToMbcs.
struct U16 {
  const XMLCh* text;
  unsigned length;
};
inline std::ostream& operator<<(std::ostream& os, U16 s) { return os << qelToMbcs(s.text, s.length); }
inline U16 u16(const XMLCh* text, unsigned length = QEL_WHOLE) { return U16{text, length}; }

// An 8-bit text that may be null ("NULL").
inline const char* orNull(const char* text) { return text ? text : "NULL"; }

// Value inserts for QelInsert::subst.
template <typename T>
class ValueInsert : public QelInsert {
 public:
  explicit ValueInsert(const T& value) : m_value(value) {}
  void appendTo(std::string& target) const override {
    QelTraceStream stream;
    stream.getOs(target) << m_value << std::flush;
  }

 private:
  const T& m_value;
};

template <>
class ValueInsert<const char*> : public QelInsert {
 public:
  explicit ValueInsert(const char* const& value) : m_value(value) {}
  void appendTo(std::string& target) const override {
    QelTraceStream stream;
    stream.getOs(target) << orNull(m_value) << std::flush;
  }

 private:
  const char* m_value;
};

template <>
class ValueInsert<std::string> : public QelInsert {
 public:
  explicit ValueInsert(const std::string& value) : m_value(value) {}
  void appendTo(std::string& target) const override { target.append(m_value); }

 private:
  const std::string& m_value;
};

// Raises the library's error: the "!!! Error - " line when error tracing is
// on (pass a null trace to skip it), then a QelErrorFull thrown by logRaise.
[[noreturn]] inline void raise(Trace* trace, int line, long rc, const char* rcName, unsigned long flag,
                               const char* function, const char* revision, const char* sourcePath,
                               const std::string& message) {
  if (trace && trace->error()) trace->line(line) << "!!! Error - " << message << std::flush;
  QelErrorFull(rc, rcName, QELOP_REPOSITORY, "QELOP_REPOSITORY", 0, nullptr, flag, 2, line, function, revision,
               sourcePath, __DATE__, message, nullptr)
      .logRaise();
}

}  // namespace qel_detail

#define QEL_STR_(x) #x

// The file record and sync word of this source file.
// clang-format off
#define QEL_TRACE_FILE(path, revision)                                    \
  namespace {                                                             \
  constexpr const char* s_sourcePath = path;                              \
  constexpr const char* s_revision = revision;                            \
  TRC1_EPF s_trcFile = {0xB4, 0x80000000u,                                \
                        path, sizeof(path) - 1,                           \
                        __DATE__, 11,                                     \
                        __TIME__, 8,                                      \
                        revision, sizeof(revision) - 1,                   \
                        "QELDOM", 6,                                      \
                        {0, 0, 0}};                                       \
  std::atomic<uint32_t> s_trcSync{1};                                     \
  }                                                                       \
  static_assert(true, "")
// clang-format on

// The function record of a traced function and its per-call trace state `trc_`.
#define QEL_TRACE_ENTER(name)                                                                                       \
  static TRC1_EPB trcRecord_ = {&s_trcFile, name, sizeof(name) - 1, __LINE__, &s_trcSync, 0x800, {0}, {0}, {0, 0}}; \
  qel_detail::Trace trc_(trcRecord_, __LINE__)

#define QEL_TRACE_LINE_(bit, prefix, ...)                         \
  do {                                                            \
    if (trc_.level() & (bit)) {                                   \
      trc_.line(__LINE__) << prefix << __VA_ARGS__ << std::flush; \
    }                                                             \
  } while (0)

// Each takes the pieces of the line joined with <<.
#define QEL_TRACE_ARGS(...) QEL_TRACE_LINE_(0x40, "Args - ", __VA_ARGS__)
#define QEL_TRACE_FLOW(...) QEL_TRACE_LINE_(0x40, "Flow - ", __VA_ARGS__)
#define QEL_TRACE_RETURN(...) QEL_TRACE_LINE_(0x40, "Return - ", __VA_ARGS__)
#define QEL_TRACE_STATE(...) QEL_TRACE_LINE_(0x10, "State - ", __VA_ARGS__)
#define QEL_TRACE_ERROR(...) QEL_TRACE_LINE_(0x80, "!!! Error - ", __VA_ARGS__)
#define QEL_TRACE_EXIT() trc_.exit(__LINE__)
#define QEL_TRACE_EXIT_VALUE(v) trc_.exitValue(__LINE__, static_cast<long>(v))

// Raises the library's error from a traced function of this file.
#define QEL_RAISE(rc, flag, function, message) \
  qel_detail::raise(&trc_, __LINE__, rc, #rc, flag, function, s_revision, s_sourcePath, message)
