// The download client against real TLS and a real forward proxy. Trust comes from the CA
// bundle the client finds: tests that need the test CA trusted run again in a child process
// that sees the test CA in place of the system's bundle (a private mount namespace).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

#include "download/download.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/rerun.h"
#include "tests/support/scoped_state.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string untrustedText = "could not reach the server (SSL peer certificate or SSH remote key was not OK)";
const std::string manifestBytes = "varnholt-release 1\n";

ProcessOptions withTestCa() {
  ProcessOptions options;
  options.trustedCa = testCertificates().caCertificate.string();
  return options;
}

// A release tree with a manifest, served by nginx.
struct ServedTree {
  TempFolder root;
  std::optional<NginxServer> server;
  ServedTree() {
    std::filesystem::create_directories(root.path() / "linux");
    std::ofstream(root.path() / "linux/latest.manifest") << manifestBytes;
    server.emplace(root.path());
  }
};

// openssl's own test server with a self-signed certificate for localhost that no CA vouches for.
class SelfSignedServer {
 public:
  SelfSignedServer() {
    const std::filesystem::path& dir = folder_.path();
    ProcessResult made = runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", (dir / "key.pem").string(),
                                     "-out", (dir / "cert.pem").string(), "-days", "7", "-subj", "/CN=localhost",
                                     "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    if (made.exitCode != 0) throw std::runtime_error("openssl req failed: " + made.output);
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = freeLoopbackPort();
      pid_ = startProcess({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port_), "-cert",
                           (dir / "cert.pem").string(), "-key", (dir / "key.pem").string(), "-www", "-quiet"});
      if (waitForListeners(pid_, {port_})) return;
      stopProcess(pid_);
    }
    throw std::runtime_error("openssl s_server did not start");
  }
  ~SelfSignedServer() { stopProcess(pid_); }
  std::string url() const { return "https://localhost:" + std::to_string(port_) + "/"; }

 private:
  TempFolder folder_;
  int pid_ = -1;
  int port_ = 0;
};

struct Fetched {
  bool ok = false;
  std::string error;
  std::string body;
};

Fetched fetch(const std::string& url, bool noCache) {
  Fetched fetched;
  ManifestSink sink{fetched.body};
  fetched.ok = fetchUrl(url, sink, fetched.error, noCache);
  return fetched;
}

}  // namespace

TEST(Https, TheServerIsNotTrustedWithoutTheTestCa) {
  ServedTree tree;
  Fetched fetched = fetch(tree.server->httpsUrl() + "linux/latest.manifest", true);
  EXPECT_FALSE(fetched.ok);
  EXPECT_EQ(fetched.error, untrustedText);
}

TEST(Https, ACertificateFromTheTrustedCaIsAcceptedAndASelfSignedOneIsNot) {
  if (rerunInChild(withTestCa())) return;
  ServedTree tree;
  Fetched trusted = fetch(tree.server->httpsUrl() + "linux/latest.manifest", true);
  EXPECT_TRUE(trusted.ok) << trusted.error;
  EXPECT_EQ(trusted.error, "");
  EXPECT_EQ(trusted.body, manifestBytes);
  EXPECT_EQ(tree.server->requestedPaths(), std::vector<std::string>{"/linux/latest.manifest"});

  SelfSignedServer selfSigned;
  Fetched untrusted = fetch(selfSigned.url() + "latest.manifest", true);
  EXPECT_FALSE(untrusted.ok);
  EXPECT_EQ(untrusted.error, untrustedText);
  EXPECT_EQ(untrusted.body, "");
}

TEST(Proxy, PlainHttpGoesThroughTheProxyUnlessNoProxyMatches) {
  ServedTree tree;
  ForwardProxy proxy;
  std::string url = tree.server->httpUrl() + "linux/latest.manifest";
  {
    ScopedEnv httpProxy("http_proxy", proxy.url()), noProxy("no_proxy", std::nullopt), noProxyUpper("NO_PROXY", std::nullopt);
    Fetched fetched = fetch(url, true);
    EXPECT_TRUE(fetched.ok) << fetched.error;
    EXPECT_EQ(fetched.body, manifestBytes);
  }
  EXPECT_EQ(proxy.requestLines(), std::vector<std::string>{"GET " + url + " HTTP/1.1"});
  {
    ScopedEnv httpProxy("http_proxy", proxy.url()), noProxy("no_proxy", "127.0.0.1");
    Fetched fetched = fetch(url, true);
    EXPECT_TRUE(fetched.ok) << fetched.error;
  }
  EXPECT_EQ(proxy.requestLines().size(), 1u);
  EXPECT_EQ(tree.server->requestedPaths(),
            (std::vector<std::string>{"/linux/latest.manifest", "/linux/latest.manifest"}));
}

TEST(Proxy, HttpsGoesThroughTheProxyAsATunnel) {
  if (rerunInChild(withTestCa())) return;
  ServedTree tree;
  ForwardProxy proxy;
  std::string url = tree.server->httpsUrl() + "linux/latest.manifest";
  ScopedEnv httpsProxy("https_proxy", proxy.url()), noProxy("no_proxy", std::nullopt), noProxyUpper("NO_PROXY", std::nullopt);
  Fetched fetched = fetch(url, true);
  EXPECT_TRUE(fetched.ok) << fetched.error;
  EXPECT_EQ(fetched.body, manifestBytes);
  std::string hostAndPort = url.substr(std::string("https://").size());
  hostAndPort = hostAndPort.substr(0, hostAndPort.find('/'));
  EXPECT_EQ(proxy.requestLines(), std::vector<std::string>{"CONNECT " + hostAndPort + " HTTP/1.1"});
  EXPECT_EQ(tree.server->requestedPaths(), std::vector<std::string>{"/linux/latest.manifest"});
}
