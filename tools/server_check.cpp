#include "tools/server_check.h"

#include <map>

#include "download/download.h"
#include "release/block_index.h"

namespace {

// The one place the tool downloads through the program's own fetch.
bool download(const std::string& url, const ByteSink& sink, std::string& error, bool noCache) {
  return fetchUrl(url, sink, error, noCache);
}

struct FileCheck {
  uint64_t expected = 0;
  uint64_t received = 0;  // every byte of the body
  DigestStream digest;
  BlockIndexWriter index;  // the file's own sums, when its published index is being checked
  bool indexing = false;
  bool indexFailed = false;
};

// Fetches files/<hash>.blocks into index (at most the longest index a file of size may have);
// "" when it came, else the reason.
std::string fetchIndex(const std::string& source, const ReleaseFile& file, std::string& index) {
  const uint64_t limit = blockIndexLimit(file.size);
  bool tooLong = false;
  auto sink = [&](const char* data, size_t length) {
    if (index.size() + length > limit) {
      tooLong = true;
      return false;
    }
    index.append(data, length);
    return true;
  };
  std::string reason;
  if (download(fileUrl(source, file.hash) + ".blocks", sink, reason, false)) return "";
  return tooLong ? "longer than an index of this file can be" : reason;
}

}  // namespace

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
      std::string index;
      std::string indexProblem;
      BlockIndexLayout layout;
      if (file.size >= blockIndexThreshold) {
        const std::string missing = fetchIndex(source, file, index);
        std::string ignored;
        if (!missing.empty()) {
          indexProblem = "missing index:" + missing;
        } else if (!parseBlockIndex(index, file.size, layout) ||
                   !check.index.begin(layout.blockSize, layout.strongWidth, ignored)) {
          indexProblem = "index";
        } else {
          check.indexing = true;
        }
      }
      // Takes the whole body: an error page must not pass for a file of the wrong size, and
      // only the answer's status, known at the end, tells the two apart.
      auto sink = [&check](const char* data, size_t length) {
        check.received += length;
        check.digest.add(data, length);
        std::string ignored;
        if (check.indexing && !check.indexFailed && !check.index.add(data, length, ignored)) check.indexFailed = true;
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
      } else if (check.indexing) {
        std::string rebuilt;
        std::string ignored;
        if (check.indexFailed || !check.index.finish(rebuilt, ignored) || rebuilt != index) outcome = "index";
      } else {
        outcome = indexProblem;
      }
      known = outcomes.emplace(file.hash, outcome).first;
    }
    const std::string& outcome = known->second;
    if (outcome.empty()) continue;
    if (outcome.rfind("missing:", 0) == 0) {
      problems.push_back("missing: " + file.path + " (files/" + file.hash + ": " + outcome.substr(8) + ")");
    } else if (outcome.rfind("missing index:", 0) == 0) {
      problems.push_back("missing index: " + file.path + " (files/" + file.hash + ".blocks: " + outcome.substr(14) +
                         ")");
    } else if (outcome == "index") {
      problems.push_back("wrong index: " + file.path + " (files/" + file.hash + ".blocks)");
    } else if (outcome.rfind("size:", 0) == 0) {
      problems.push_back("wrong size: " + file.path + " (" + outcome.substr(5) + " bytes, expected " +
                         std::to_string(file.size) + ")");
    } else {
      problems.push_back("wrong digest: " + file.path + " (files/" + file.hash + ")");
    }
  }
  return true;
}
