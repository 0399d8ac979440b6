/// \file
/// qelutil: the product's utility library as qeldom uses it: UTF-16 strings,
/// owning buffers, conversions to and from the process code page (UTF-8),
/// message inserts, trace streams, errors, once-only slots and shared
/// libraries.
///
/// This header includes every part, and the standard headers it has always
/// given; each part has a header of its own for a caller that needs only that
/// one.
#pragma once

#include <cstdint>
#include <ostream>

#include "qelbuffer.hpp"
#include "qelconv.hpp"
#include "qelerror.hpp"
#include "qelinsert.hpp"
#include "qelpool.hpp"
#include "qelrtdefs.hpp"
#include "qelsharedlib.hpp"
#include "qeltracestream.hpp"
#include "qelunistring.hpp"
