// Shared libraries loaded at run time.
#include "qelsharedlib.hpp"

#include <dlfcn.h>

#include "qelerror.hpp"

QelSharedLib::QelSharedLib(const char* name, bool decorate, bool global) {
  std::string base = name ? name : "";
  m_path = (decorate && base.find('/') == std::string::npos) ? "lib" + base + ".so" : base;
  m_handle = dlopen(m_path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
  if (!m_handle) {
    const char* why = dlerror();
    std::string message = "Cannot load the shared library \"" + m_path + "\": " + (why ? why : "unknown error");
    QelErrorFull(QELRT_SHLIB_ERROR, "QELRC_SHLIB_ERROR", 101, "QELOP_REPOSITORY", 0, nullptr, 0, 2, __LINE__,
                 "QelSharedLib::QelSharedLib", "$Revision: 1.1 $", "runtime/qelsharedlib", __DATE__, message, nullptr)
        .logRaise();
  }
}

QelSharedLib::~QelSharedLib() {
  if (m_handle) dlclose(m_handle);
}

void* QelSharedLib::getFuncAddress(const char* symbol) const {
  if (!m_handle || !symbol) return nullptr;
  return dlsym(m_handle, symbol);
}
