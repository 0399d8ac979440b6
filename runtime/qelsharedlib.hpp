// Shared libraries loaded at run time.
#pragma once

#include <string>

#include "qelrtdefs.hpp"

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
