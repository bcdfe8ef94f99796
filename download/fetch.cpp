// One GET through libcurl's easy interface. Each call owns its handle and header list, so
// nothing (connections, TLS sessions, DNS answers) carries over from one fetch to the next.
#include "download/download.h"

#include <curl/curl.h>

#include <memory>
#include <system_error>

const std::vector<std::filesystem::path> caBundleCandidates = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
};

std::filesystem::path chooseCaBundle(const std::vector<std::filesystem::path>& candidates) {
  for (const std::filesystem::path& candidate : candidates) {
    // Follows links: a link to nothing does not count, any existing kind of entry does.
    std::error_code ec;
    if (std::filesystem::exists(candidate, ec)) return candidate;
  }
  return {};
}

std::string manifestUrl(const std::string& source) { return source + "latest.manifest"; }

std::string fileUrl(const std::string& source, const std::string& hash) { return source + "files/" + hash; }

namespace {

constexpr long receiveBufferSize = 524288;  // the largest libcurl 7.88 accepts

struct TransferState {
  const ByteSink& sink;
  bool stopped = false;
};

size_t writeChunk(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  size_t length = size * count;
  if (state->sink(data, length)) return length;
  // A short count makes libcurl end the transfer at once with a write error.
  state->stopped = true;
  return 0;
}

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string unreachable(CURLcode code) {
  return std::string("could not reach the server (") + curl_easy_strerror(code) + ")";
}

}  // namespace

bool fetchUrl(const std::string& url, const ByteSink& sink, std::string& error, bool noCache) {
  // Declared in this order so that the header list is freed before the handle goes.
  std::unique_ptr<CURL, EasyCleanup> handle(curl_easy_init());
  std::unique_ptr<curl_slist, ListCleanup> headers;
  if (!handle) {
    error = "the download library would not start";
    return false;
  }
  TransferState state{sink};
  CURL* curl = handle.get();

  CURLcode setup = CURLE_OK;
  auto set = [&setup](CURLcode code) {
    if (setup == CURLE_OK) setup = code;
  };
  set(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeChunk));
  set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state));
  set(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
  // Older libcurl (Debian 12 ships 7.88) follows redirects without limit, so a redirect loop
  // would never end; newer releases stop after 30, and so does this client everywhere.
  set(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L));
  // The library's own 16 KiB receive buffer costs a system call and a callback per 16 KiB; a
  // game of gigabytes is received in the largest chunks the library takes.
  set(curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receiveBufferSize));
  set(curl_easy_setopt(curl, CURLOPT_USERAGENT, "VarnholtSetup/1"));
  set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L));
  std::filesystem::path caBundle = chooseCaBundle(caBundleCandidates);
  if (!caBundle.empty()) set(curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.c_str()));
  if (noCache) {
    headers.reset(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    // Without the header a cache could hand out an old manifest; do not fetch without it.
    if (!headers) {
      error = "the download library would not start";
      return false;
    }
    set(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()));
  }
  // An option the library refused (a URL it cannot take, no memory) fails like a transfer.
  if (setup != CURLE_OK) {
    error = unreachable(setup);
    return false;
  }

  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
  headers.reset();
  handle.reset();

  if (state.stopped) {
    if (error.empty()) error = "stopped";
    return false;
  }
  if (result != CURLE_OK) {
    error = unreachable(result);
    return false;
  }
  if (status == 200) return true;
  error = "the server answered " + std::to_string(status) + " for " + url;
  return false;
}
