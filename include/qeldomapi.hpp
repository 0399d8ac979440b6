// QELDOM_API: the mark of what the library exports, for headers that need
// nothing else of qeldom.hpp.
#pragma once

#define QELDOM_API __attribute__((visibility("default")))
