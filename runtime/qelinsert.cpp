// Message inserts and the substitution of a format's "%s" by their text.
#include "qelinsert.hpp"

QelInsert::~QelInsert() = default;

namespace {
std::string substInserts(const char* format, const QelInsert* const* inserts, int count) {
  std::string out;
  if (!format) return out;
  int next = 0;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < count) {
      inserts[next++]->appendTo(out);
      ++p;
    } else {
      out.push_back(*p);
    }
  }
  return out;
}
}  // namespace

std::string QelInsert::subst(const char* format, const QelInsert& a) {
  const QelInsert* all[] = {&a};
  return substInserts(format, all, 1);
}

std::string QelInsert::subst(const char* format, const QelInsert& a, const QelInsert& b) {
  const QelInsert* all[] = {&a, &b};
  return substInserts(format, all, 2);
}

std::string QelInsert::subst(const char* format, const QelInsert& a, const QelInsert& b, const QelInsert& c) {
  const QelInsert* all[] = {&a, &b, &c};
  return substInserts(format, all, 3);
}
