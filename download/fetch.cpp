// The run's transfers on libcurl's multi interface: each GET is an easy handle with the
// program's options, driven by one multi handle whose connections (and a share handle's TLS
// sessions and DNS answers) outlive single transfers, so a run pays for one connection and
// one handshake instead of one per file.
#include "download/download.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "app/options.h"

const std::vector<std::filesystem::path> caBundleCandidates = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
};

std::filesystem::path chooseCaBundle(const std::vector<std::filesystem::path>& candidates) {
  return firstExisting(candidates);
}

std::string manifestUrl(const std::string& source) { return source + "latest.manifest"; }

std::string fileUrl(const std::string& source, const std::string& hash) { return source + "files/" + hash; }

namespace {

constexpr long receiveBufferSize = 524288;  // the largest libcurl 7.88 accepts
constexpr int pollSliceMs = 20;  // how long a stop request may wait while nothing arrives

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string unreachable(CURLcode code) {
  return std::string("could not reach the server (") + curl_easy_strerror(code) + ")";
}

// Redirects may lead only to the scheme the request began with: an https source is never
// followed to plain http (or to ftp, file, ...).
std::string redirectScheme(const std::string& url) {
  size_t colon = url.find("://");
  if (colon == std::string::npos) return "http";  // libcurl's guess for a URL without one
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

bool startsWithNoCase(const char* text, size_t length, const char* prefix) {
  size_t n = std::char_traits<char>::length(prefix);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct TransferEngine::Transfer {
  uint64_t tag = 0;
  TransferRequest request;
  std::unique_ptr<CURL, EasyCleanup> easy;
  std::unique_ptr<curl_slist, ListCleanup> headers;
  std::string rangeHeader;
  bool answerKnown = false;
  bool stopped = false;  // by the sink, or a throw inside a callback
  std::string refusal;   // the answer was not one whose body is wanted
  long rangeStart = -1;  // from the last answer's Content-Range, -1 when it had none

  // Decides, at the first byte of the final answer's body (or at its end when it had none),
  // what the body is. False stops the transfer.
  bool learnAnswer() {
    answerKnown = true;
    long status = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    const bool ranged = request.resumeFrom > 0 || request.rangeEnd > 0;
    const bool continues = ranged && status == 206 && rangeStart == static_cast<long>(request.resumeFrom);
    if (ranged && status == 200 && request.restart) request.restart();
    if (request.successBodyOnly && status != 200 && !continues) {
      refusal = "the server answered " + std::to_string(status) + " for " + request.url;
      return false;
    }
    return true;
  }
};

namespace {

size_t writeChunk(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<TransferEngine::Transfer*>(user);
  const size_t length = size * count;
  // No exception may cross libcurl's C frames: one ends this transfer as a failure.
  try {
    if (!transfer->answerKnown && !transfer->learnAnswer()) return 0;
    if (transfer->request.sink(data, length)) return length;
  } catch (...) {
  }
  // A short count makes libcurl end the transfer at once with a write error.
  transfer->stopped = true;
  return 0;
}

// Keeps the start of the Content-Range of the latest answer (a redirect's headers come first).
size_t headerLine(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<TransferEngine::Transfer*>(user);
  const size_t length = size * count;
  if (startsWithNoCase(data, length, "HTTP/")) {
    transfer->rangeStart = -1;
  } else if (startsWithNoCase(data, length, "Content-Range:")) {
    // Parsed in place: nothing here may throw through libcurl's C frames.
    size_t at = 14;
    while (at < length && (data[at] == ' ' || data[at] == '\t')) ++at;
    if (at + 6 <= length && std::char_traits<char>::compare(data + at, "bytes ", 6) == 0) {
      long first = 0;
      bool digits = false;
      for (at += 6; at < length && data[at] >= '0' && data[at] <= '9' && first < (1L << 52); ++at) {
        first = first * 10 + (data[at] - '0');
        digits = true;
      }
      if (digits && at < length && data[at] == '-') transfer->rangeStart = first;
    }
  }
  return length;
}

}  // namespace

TransferEngine::~TransferEngine() { close(); }

bool TransferEngine::open(std::string& error) {
  if (multi_) return true;
  CURLM* multi = curl_multi_init();
  CURLSH* share = curl_share_init();
  if (!multi || !share) {
    if (multi) curl_multi_cleanup(multi);
    if (share) curl_share_cleanup(share);
    error = "the download library would not start";
    return false;
  }
  // Several streams on one HTTP/2 connection; on HTTP/1.1 a few connections per host.
  (void)curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  (void)curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connectionsPerHost));
  // TLS sessions and DNS answers outlive the easy handles that made them.
  (void)curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  (void)curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  multi_ = multi;
  share_ = share;
  return true;
}

bool TransferEngine::start(uint64_t tag, TransferRequest request, std::string& error) {
  if (!open(error)) return false;
  auto transfer = std::make_unique<Transfer>();
  transfer->tag = tag;
  transfer->request = std::move(request);
  transfer->easy.reset(curl_easy_init());
  if (!transfer->easy) {
    error = "the download library would not start";
    return false;
  }
  CURL* curl = transfer->easy.get();
  const TransferRequest& r = transfer->request;

  CURLcode setup = CURLE_OK;
  auto set = [&setup](CURLcode code) {
    if (setup == CURLE_OK) setup = code;
  };
  set(curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str()));
  set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeChunk));
  set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer.get()));
  set(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, headerLine));
  set(curl_easy_setopt(curl, CURLOPT_HEADERDATA, transfer.get()));
  set(curl_easy_setopt(curl, CURLOPT_PRIVATE, transfer.get()));
  set(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
  // Older libcurl (Debian 12 ships 7.88) follows redirects without limit, so a redirect loop
  // would never end; newer releases stop after 30, and so does this client everywhere.
  set(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L));
  const std::string scheme = redirectScheme(r.url);
  if (scheme == "http" || scheme == "https") {
    set(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, scheme.c_str()));
  }
  // The library's own 16 KiB receive buffer costs a system call and a callback per 16 KiB; a
  // game of gigabytes is received in the largest chunks the library takes.
  set(curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receiveBufferSize));
  set(curl_easy_setopt(curl, CURLOPT_USERAGENT, "VarnholtSetup/1"));
  set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L));
  std::filesystem::path caBundle = chooseCaBundle(caBundleCandidates);
  if (!caBundle.empty()) set(curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.c_str()));
  set(curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
  // A transfer waits for a connection that may take it as one more stream rather than
  // opening one of its own.
  set(curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L));
  set(curl_easy_setopt(curl, CURLOPT_SHARE, static_cast<CURLSH*>(share_)));
  if (r.resumeFrom > 0 || r.rangeEnd > 0) {
    transfer->rangeHeader = std::to_string(r.resumeFrom) + "-";
    if (r.rangeEnd > 0) transfer->rangeHeader += std::to_string(r.rangeEnd - 1);
    set(curl_easy_setopt(curl, CURLOPT_RANGE, transfer->rangeHeader.c_str()));
  }
  if (r.noCache) {
    transfer->headers.reset(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    // Without the header a cache could hand out an old manifest; do not fetch without it.
    if (!transfer->headers) {
      error = "the download library would not start";
      return false;
    }
    set(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer->headers.get()));
  }
  // An option the library refused (a URL it cannot take, no memory) fails like a transfer.
  if (setup != CURLE_OK) {
    error = unreachable(setup);
    return false;
  }
  if (curl_multi_add_handle(static_cast<CURLM*>(multi_), curl) != CURLM_OK) {
    error = "the download library would not start";
    return false;
  }
  transfers_.push_back(std::move(transfer));
  return true;
}

void TransferEngine::stop(uint64_t tag) {
  for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
    if ((*it)->tag != tag) continue;
    (void)curl_multi_remove_handle(static_cast<CURLM*>(multi_), (*it)->easy.get());
    transfers_.erase(it);
    return;
  }
}

void TransferEngine::stopAll() {
  for (auto& transfer : transfers_) (void)curl_multi_remove_handle(static_cast<CURLM*>(multi_), transfer->easy.get());
  transfers_.clear();
}

std::vector<TransferDone> TransferEngine::wait(int maxWaitMs) {
  std::vector<TransferDone> done;
  if (!multi_ || transfers_.empty()) return done;
  CURLM* multi = static_cast<CURLM*>(multi_);
  int active = 0;
  (void)curl_multi_perform(multi, &active);
  collect(done);
  if (done.empty()) {
    // Nothing ended yet: sleep until a socket is ready or the time is up.
    (void)curl_multi_poll(multi, nullptr, 0, maxWaitMs, nullptr);
    (void)curl_multi_perform(multi, &active);
    collect(done);
  }
  return done;
}

void TransferEngine::collect(std::vector<TransferDone>& done) {
  CURLM* multi = static_cast<CURLM*>(multi_);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode result = message->data.result;
    auto it = std::find_if(transfers_.begin(), transfers_.end(),
                           [easy](const std::unique_ptr<Transfer>& t) { return t->easy.get() == easy; });
    if (it == transfers_.end()) continue;
    Transfer& t = **it;
    TransferDone outcome;
    outcome.tag = t.tag;
    // An answer without a body still decides what it was (a ranged request answered with an
    // empty 200 empties what was there); a refusal is then noted in the transfer.
    if (result == CURLE_OK && !t.answerKnown && !t.stopped) (void)t.learnAnswer();
    long status = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    if (!t.refusal.empty()) {
      outcome.error = t.refusal;
    } else if (t.stopped) {
      outcome.stopped = true;
    } else if (result != CURLE_OK) {
      outcome.error = unreachable(result);
      outcome.cutOff = t.answerKnown;
    } else if (status == 200 || (status == 206 && (t.request.resumeFrom > 0 || t.request.rangeEnd > 0) &&
                                 t.rangeStart == static_cast<long>(t.request.resumeFrom))) {
      outcome.ok = true;
    } else {
      outcome.error = "the server answered " + std::to_string(status) + " for " + t.request.url;
    }
    (void)curl_multi_remove_handle(multi, easy);
    transfers_.erase(it);
    done.push_back(std::move(outcome));
  }
}

void TransferEngine::close() {
  stopAll();
  if (multi_) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  if (share_) curl_share_cleanup(static_cast<CURLSH*>(share_));
  multi_ = nullptr;
  share_ = nullptr;
}

TransferEngine& transfers() {
  static TransferEngine engine;
  return engine;
}

void closeTransfers() { transfers().close(); }

bool fetchUrl(const std::string& url, const ByteSink& sink, std::string& error, bool noCache,
              const std::atomic<bool>* stop) {
  TransferEngine& engine = transfers();
  // A fetch stands alone: a transfer of somebody else's is not left running under it.
  engine.stopAll();
  constexpr uint64_t tag = 0;
  TransferRequest request;
  request.url = url;
  request.noCache = noCache;
  request.sink = [&sink](const char* data, size_t length) { return sink(data, length); };
  if (!engine.start(tag, std::move(request), error)) return false;
  for (;;) {
    if (stop && stop->load()) {
      engine.stopAll();
      if (error.empty()) error = "stopped";
      return false;
    }
    std::vector<TransferDone> done = engine.wait(pollSliceMs);
    if (done.empty()) continue;
    const TransferDone& outcome = done.front();
    if (outcome.ok) return true;
    if (outcome.stopped) {
      if (error.empty()) error = "stopped";
    } else {
      error = outcome.error;
    }
    return false;
  }
}
