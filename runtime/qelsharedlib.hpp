/// \file
/// QelSharedLib: a shared library loaded at run time.
#pragma once

#include <string>

#include "qelrtdefs.hpp"

/// The return code of a shared library that cannot be loaded.
constexpr long QELRT_SHLIB_ERROR = 21030;

/// A shared library loaded with dlopen, unloaded with the object. Not
/// copyable.
class QELRT_API QelSharedLib {
 public:
  /// Loads the library `name`. With `decorate`, the base name "x" is loaded as
  /// "libx.so", found the way the dynamic loader finds libraries
  /// (LD_LIBRARY_PATH, the run path, the system directories); a name with a
  /// slash is used as a path. `global` makes its symbols available to
  /// libraries loaded later (RTLD_GLOBAL). A library that cannot be loaded
  /// raises a QelError with QELRT_SHLIB_ERROR and the loader's reason.
  QelSharedLib(const char* name, bool decorate, bool global);
  /// Unloads the library.
  ~QelSharedLib();
  QelSharedLib(const QelSharedLib&) = delete;             ///< Not copyable.
  QelSharedLib& operator=(const QelSharedLib&) = delete;  ///< Not copyable.
  /// The address of `symbol`, or null when the library has no such symbol.
  void* getFuncAddress(const char* symbol) const;
  /// The name the library was loaded by ("libtavmdr.so").
  const std::string& getPath() const { return m_path; }

 private:
  void* m_handle = nullptr;
  std::string m_path;
};
