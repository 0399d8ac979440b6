// qelutil: the product's utility library as qeldom uses it: UTF-16 strings,
// owning buffers, conversions to and from the process code page (UTF-8),
// message inserts, trace streams, errors, once-only slots and shared libraries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#define QELRT_API __attribute__((visibility("default")))

// A UTF-16 code unit, the same type Xerces-C uses.
typedef char16_t XMLCh;

struct TRC1_EPB;

// ---------------------------------------------------------------------------
// Owning buffer returned by conversions. A null pointer means "no text".
// The memory comes from malloc and is released with free.
template <typename T>
class QelAutoBuffer {
 public:
  QelAutoBuffer() = default;
  QelAutoBuffer(T* data, size_t count, bool owned = true) : m_data(data), m_count(count), m_owned(owned) {}
  QelAutoBuffer(const QelAutoBuffer&) = delete;
  QelAutoBuffer& operator=(const QelAutoBuffer&) = delete;
  QelAutoBuffer(QelAutoBuffer&& o) noexcept : m_data(o.m_data), m_count(o.m_count), m_owned(o.m_owned) {
    o.m_data = nullptr;
    o.m_count = 0;
  }
  QelAutoBuffer& operator=(QelAutoBuffer&& o) noexcept {
    if (this != &o) {
      reset();
      m_data = o.m_data;
      m_count = o.m_count;
      m_owned = o.m_owned;
      o.m_data = nullptr;
      o.m_count = 0;
    }
    return *this;
  }
  ~QelAutoBuffer() { reset(); }

  T* get() const { return m_data; }
  size_t size() const { return m_count; }
  explicit operator bool() const { return m_data != nullptr; }
  T* release() {
    T* p = m_data;
    m_data = nullptr;
    m_count = 0;
    return p;
  }
  void reset() {
    if (m_owned && m_data) std::free(m_data);
    m_data = nullptr;
    m_count = 0;
  }

 private:
  T* m_data = nullptr;
  size_t m_count = 0;
  bool m_owned = true;
};

// ---------------------------------------------------------------------------
// A UTF-16 string value.
class QELRT_API QelUniString {
 public:
  static constexpr size_t npos = std::u16string::npos;

  QelUniString() = default;
  QelUniString(const XMLCh* text);  // null gives an empty string
  QelUniString(const XMLCh* text, size_t count);
  QelUniString(const char* text, size_t length);  // 8-bit text in the process code page
  QelUniString(const std::u16string& text) : m_text(text) {}
  QelUniString(std::u16string&& text) : m_text(std::move(text)) {}

  // Makes the string from an 8-bit literal (ASCII) of the given length.
  void initStatic(const char* literal, size_t length);

  size_t length() const { return m_text.length(); }
  bool empty() const { return m_text.empty(); }
  size_t capacity() const { return m_text.capacity(); }
  void reserve(size_t n) { m_text.reserve(n); }
  void resize(size_t n) { m_text.resize(n); }

  QelUniString& append(XMLCh unit) {
    m_text.push_back(unit);
    return *this;
  }
  QelUniString& append(const XMLCh* text, size_t count) {
    m_text.append(text, count);
    return *this;
  }
  QelUniString& append(const QelUniString& other) {
    m_text.append(other.m_text);
    return *this;
  }
  QelUniString substr(size_t pos, size_t n = npos) const { return QelUniString(m_text.substr(pos, n)); }
  int compare(const QelUniString& other) const { return m_text.compare(other.m_text); }
  bool operator==(const QelUniString& other) const { return m_text == other.m_text; }
  bool operator!=(const QelUniString& other) const { return m_text != other.m_text; }
  XMLCh operator[](size_t i) const { return m_text[i]; }

  const XMLCh* c_str() const { return m_text.c_str(); }
  operator const XMLCh*() const { return m_text.c_str(); }
  const std::u16string& str() const { return m_text; }
  operator const std::u16string&() const { return m_text; }
  std::string toString() const;  // in the process code page

 private:
  std::u16string m_text;
};

QELRT_API std::ostream& operator<<(std::ostream& os, const QelUniString& s);

// ---------------------------------------------------------------------------
// Conversions between UTF-16 and the process code page (UTF-8 here).
// A length of all ones means "up to the terminating zero". Ill-formed input is
// replaced by U+FFFD (never dropped); a null text converts to an empty one.
constexpr unsigned QEL_WHOLE = ~0u;
QELRT_API std::string qelToMbcs(const XMLCh* text, unsigned length = QEL_WHOLE, bool flag = false);
QELRT_API std::u16string qelToUnicode(const char* text, unsigned length = QEL_WHOLE, bool flag = false);
// 8-bit rendering of a UTF-16 text for trace lines; null renders as nothing.
QELRT_API std::string qelTraceStr(const XMLCh* text);
// Upper-cased copy (full Unicode case mapping).
QELRT_API std::u16string qelToUpper(const std::u16string& text);
// Number of code units before the terminating zero; 0 for null.
QELRT_API size_t qelStrlen(const XMLCh* text);
// XML white space: space, tab, line feed, carriage return.
inline bool qelIsWhiteSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

// ---------------------------------------------------------------------------
// A value that can append its text to an 8-bit string, for message formats.
class QELRT_API QelInsert {
 public:
  virtual ~QelInsert();
  virtual void appendTo(std::string& target) const = 0;

  // The format with its n-th "%s" replaced by the n-th insert's text. A "%s"
  // without an insert stays as it is.
  static std::string subst(const char* format, const QelInsert& a);
  static std::string subst(const char* format, const QelInsert& a, const QelInsert& b);
  static std::string subst(const char* format, const QelInsert& a, const QelInsert& b, const QelInsert& c);
};

// ---------------------------------------------------------------------------
// An 8-bit stream for one trace line (ended by a flush) or for appending to a
// string. It holds nothing until the first getOs call.
class QELRT_API QelTraceStream {
 public:
  // Creating and destroying a stream that was never used costs no call: every
  // traced function makes one, also when its trace is off.
  QelTraceStream() = default;
  ~QelTraceStream() {
    if (m_impl) destroy(m_impl);
  }
  QelTraceStream(const QelTraceStream&) = delete;
  QelTraceStream& operator=(const QelTraceStream&) = delete;

  // A stream for one trace line of the function record; a flush ends the line.
  std::ostream& getOs(TRC1_EPB* record, int line);
  // A stream that appends to the string at every flush.
  std::ostream& getOs(std::string& target);

 private:
  struct Impl;
  static void destroy(Impl* impl);
  Impl* m_impl = nullptr;  // owned; made by the first getOs
};

// ---------------------------------------------------------------------------
// Errors.
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

// ---------------------------------------------------------------------------
// Once-only slots. A slot's state byte is 0 at load, 1 once initialised and 2
// after a recorded failure; the object pointer is valid when the state is 1.
// Both are read without a lock on the fast path (acquire/release atomics).
class QelPoolCtrl;
typedef void (*QelPoolInitFn)();
typedef void (*QelPoolCleanupFn)();

// The list of clean-up functions of one library. cleanup() runs them in the
// reverse order of their linking; the list's destructor does not run them
// (see qelpool.cpp for why).
class QELRT_API QelPoolCtrlList {
 public:
  QelPoolCtrlList() = default;
  QelPoolCtrlList(const QelPoolCtrlList&) = delete;
  QelPoolCtrlList& operator=(const QelPoolCtrlList&) = delete;
  void link(QelPoolCleanupFn fn);
  void cleanup();

 private:
  std::mutex m_lock;
  QelPoolCleanupFn m_fns[8] = {};
  int m_count = 0;
};

class QELRT_API QelPoolCtrl {
 public:
  constexpr QelPoolCtrl() = default;
  QelPoolCtrl(const QelPoolCtrl&) = delete;
  QelPoolCtrl& operator=(const QelPoolCtrl&) = delete;

  unsigned char state() const { return m_state.load(std::memory_order_acquire); }
  void* object() const { return m_object.load(std::memory_order_acquire); }

  // Runs initFn under the lock unless the slot is initialised, then returns the
  // object, or raises again the error that initFn recorded.
  void* init(std::mutex& lock, QelPoolInitFn initFn);
  // Fast path without the lock when initialised, else init().
  void* get(std::mutex& lock, QelPoolInitFn initFn) {
    if (state() == 1) return object();
    return init(lock, initFn);
  }
  // Inside initFn: store the object, set the state to 1 and link the clean-up.
  void initOk(void* object, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  // Inside initFn: record the error; every later init() raises it again.
  void initError(const QelError& error, QelPoolCleanupFn cleanupFn, QelPoolCtrlList& list, int reserved);
  // In the clean-up function: take the object back (or null) and reset the slot.
  void* release();

 private:
  std::atomic<unsigned char> m_state{0};
  std::atomic<void*> m_object{nullptr};
  QelError* m_error = nullptr;  // owned; written under the slot's lock
};

// ---------------------------------------------------------------------------
// A shared library loaded with dlopen. With `decorate`, the base name "x" is
// loaded as "libx.so", found the way the dynamic loader finds libraries
// (LD_LIBRARY_PATH, the runpath, the system directories); a name containing a
// slash is used as a path. `global` makes its symbols available to libraries
// loaded later (RTLD_GLOBAL). Failures throw QelError.
class QELRT_API QelSharedLib {
 public:
  QelSharedLib(const char* name, bool decorate, bool global);
  ~QelSharedLib();
  QelSharedLib(const QelSharedLib&) = delete;
  QelSharedLib& operator=(const QelSharedLib&) = delete;
  // The address of the symbol, or null when the library has no such symbol.
  void* getFuncAddress(const char* symbol) const;
  const std::string& getPath() const { return m_path; }

 private:
  void* m_handle = nullptr;
  std::string m_path;
};

// Return codes and operations the runtime itself raises.
constexpr long QELRT_SHLIB_ERROR = 21030;
