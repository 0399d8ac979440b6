// Fetching a URL with libcurl. Xerces-C's own net accessor has no time-outs;
// this one is used for every URL the parser reads.
#include "qelfetch.hpp"

#include <curl/curl.h>

#include <memory>

namespace qel_detail {

namespace {

struct EasyCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct Body {
  std::string bytes;
  size_t maxBytes;
  bool tooLarge = false;
};

size_t append(char* data, size_t size, size_t count, void* target) {
  Body& body = *static_cast<Body*>(target);
  const size_t n = size * count;
  if (body.maxBytes && body.bytes.size() + n > body.maxBytes) {
    body.tooLarge = true;
    return 0;  // ends the transfer
  }
  body.bytes.append(data, n);
  return n;
}

}  // namespace

std::string fetchUrl(const std::string& url, unsigned long timeoutMs, size_t maxBytes) {
  std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("libcurl cannot start a transfer");
  Body body{std::string(), maxBytes};
  char error[CURL_ERROR_SIZE] = "";
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");  // never a redirection to a local file
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // time-outs without SIGALRM: safe in threads
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  if (maxBytes) curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  const CURLcode result = curl_easy_perform(c);
  if (body.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
    throw std::runtime_error("larger than " + std::to_string(maxBytes) + " bytes");
  if (result != CURLE_OK) throw std::runtime_error(*error ? error : curl_easy_strerror(result));
  return std::move(body.bytes);
}

}  // namespace qel_detail
