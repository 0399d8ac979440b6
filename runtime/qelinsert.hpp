// Message inserts: values that append their text to a message format.
#pragma once

#include <string>

#include "qelrtdefs.hpp"

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
