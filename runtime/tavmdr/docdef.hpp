// The document definition the model library stand-in understands, and the
// counters it exports (with C linkage, found with dlsym).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The product's class, as far as the stand-in needs it: a root element whose
// content is a sequence of fields, each of a named simple type.
class QelXmlDocDef {
 public:
  struct SimpleType {
    std::u16string name;
    int64_t typeMask;
  };
  struct Field {
    std::u16string name;
    std::u16string typeName;      // one of `types`
    std::u16string defaultValue;  // empty: none
  };

  std::u16string targetNamespace;
  std::u16string rootName;
  std::vector<SimpleType> types;
  std::vector<Field> fields;
};

extern "C" {
// How many times the library was loaded (its static initialisers ran).
typedef int TavmdrLoadCount();
// How many times the factory was called, and with which definition last.
typedef int TavmdrFactoryCalls();
typedef const QelXmlDocDef* TavmdrLastDefinition();
}
