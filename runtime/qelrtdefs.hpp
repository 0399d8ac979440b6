/// \file
/// What every header of the runtime needs: the export mark and the UTF-16
/// code unit.
#pragma once

/// Marks a class or function that libqelrt exports.
#define QELRT_API __attribute__((visibility("default")))

/// A UTF-16 code unit, the same type Xerces-C uses.
typedef char16_t XMLCh;
