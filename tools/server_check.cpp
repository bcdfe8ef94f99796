#include "tools/server_check.h"

#include <map>

#include "download/download.h"

namespace {

// The one place the tool downloads through the program's own fetch.
bool download(const std::string& url, const ByteSink& sink, std::string& error, bool noCache) {
  return fetchUrl(url, sink, error, noCache);
}

struct FileCheck {
  uint64_t expected = 0;
  uint64_t received = 0;  // every byte of the body
  DigestStream digest;
};

}  // namespace

bool isReleaseUrl(const std::string& text) {
  return text.rfind("https://", 0) == 0 || text.rfind("http://", 0) == 0;
}

bool verifyServer(const std::string& url, const PublicKey& publicKey, Release& release,
                  std::vector<std::string>& problems, std::string& error) {
  problems.clear();
  const std::string source = url.empty() || url.back() == '/' ? url : url + "/";
  std::string manifest;
  std::string reason;
  if (!download(manifestUrl(source), ManifestSink{manifest}, reason, true)) {
    error = "could not fetch " + manifestUrl(source) + " (" + reason + ")";
    return false;
  }
  if (!verifyRelease(manifest, publicKey, release, error)) return false;

  std::map<std::string, std::string> outcomes;  // hash -> "" when sound, else the problem's tail
  for (const ReleaseFile& file : release.files) {
    auto known = outcomes.find(file.hash);
    if (known == outcomes.end()) {
      FileCheck check;
      check.expected = file.size;
      // Takes the whole body: an error page must not pass for a file of the wrong size, and
      // only the answer's status, known at the end, tells the two apart.
      auto sink = [&check](const char* data, size_t length) {
        check.received += length;
        check.digest.add(data, length);
        return true;
      };
      std::string outcome;
      reason.clear();
      if (!download(fileUrl(source, file.hash), sink, reason, false)) {
        outcome = "missing:" + reason;
      } else if (check.received != check.expected) {
        outcome = "size:" + std::to_string(check.received);
      } else if (finishDigest(check.digest) != file.hash) {
        outcome = "digest";
      }
      known = outcomes.emplace(file.hash, outcome).first;
    }
    const std::string& outcome = known->second;
    if (outcome.empty()) continue;
    if (outcome.rfind("missing:", 0) == 0) {
      problems.push_back("missing: " + file.path + " (files/" + file.hash + ": " + outcome.substr(8) + ")");
    } else if (outcome.rfind("size:", 0) == 0) {
      problems.push_back("wrong size: " + file.path + " (" + outcome.substr(5) + " bytes, expected " +
                         std::to_string(file.size) + ")");
    } else {
      problems.push_back("wrong digest: " + file.path + " (files/" + file.hash + ")");
    }
  }
  return true;
}
