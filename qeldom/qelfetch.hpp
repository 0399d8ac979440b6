// Fetching a URL into memory with libcurl: http, https and ftp only (also
// after a redirection), within a time and a size bound.
#pragma once

#include <stdexcept>
#include <string>

namespace qel_detail {

// The body at `url`. Connecting and reading together take at most
// `timeoutMs` milliseconds; a body of more than `maxBytes` bytes (0: no
// bound) is refused as it arrives. A failure throws std::runtime_error with
// the reason ("Operation timed out after 1000 milliseconds with 0 bytes
// received", "The requested URL returned error: 404").
std::string fetchUrl(const std::string& url, unsigned long timeoutMs, size_t maxBytes);

}  // namespace qel_detail
