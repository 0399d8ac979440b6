/// \file
/// QelInsert: values that put their text into a message format.
#pragma once

#include <string>

#include "qelrtdefs.hpp"

/// A value that appends its text to an 8-bit string, for message formats.
class QELRT_API QelInsert {
 public:
  virtual ~QelInsert();
  /// Appends the value's text to `target`.
  virtual void appendTo(std::string& target) const = 0;

  ///@{
  /// The `format` with its n-th "%s" replaced by the n-th insert's text. A
  /// "%s" beyond the inserts stays as it is; a null format gives an empty
  /// string.
  static std::string subst(const char* format, const QelInsert& a);
  static std::string subst(const char* format, const QelInsert& a, const QelInsert& b);
  static std::string subst(const char* format, const QelInsert& a, const QelInsert& b, const QelInsert& c);
  ///@}
};
