// What every header of the runtime needs: the export macro and the UTF-16
// code unit.
#pragma once

#define QELRT_API __attribute__((visibility("default")))

// A UTF-16 code unit, the same type Xerces-C uses.
typedef char16_t XMLCh;
