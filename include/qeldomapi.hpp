/// \file
/// QELDOM_API: the mark of what the library exports, for headers that need
/// nothing else of qeldom.hpp.
#pragma once

/// Marks a class or function that libqeldom exports.
#define QELDOM_API __attribute__((visibility("default")))
