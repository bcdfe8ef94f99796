// varnholt-server-check: the network half of "varnholt-release verify <https-url> <key>". The
// publisher's tool holds the signing seed and links no network code; for a URL it replaces
// itself with this program, which speaks in its name: the same lines, the same exit status.
#include <cstdio>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "tools/server_check.h"
#include "tools/tool_output.h"

int main(int argc, char** argv) {
  if (argc != 3 || !isReleaseUrl(argv[1])) {
    std::fputs("usage: varnholt-server-check <https-url> <public-key-hex>\n"
               "Checks the release on a live server as \"varnholt-release verify\" does.\n",
               stderr);
    return 2;
  }
  const std::string url = argv[1];
  PublicKey publicKey;
  if (!decodeHex(argv[2], publicKey)) return fail("the public key must be 64 hex digits");
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return fail("libcurl could not be initialised");
  Release release;
  std::vector<std::string> problems;
  std::string error;
  const bool checked = verifyServer(url, publicKey, release, problems, error);
  return reportCheck(url, checked, release, problems, error);
}
