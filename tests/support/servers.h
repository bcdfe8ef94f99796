// Real servers on loopback for the tests: nginx serving a release tree over HTTP and HTTPS
// (certificate from a test CA made at test time with openssl), a deliberately misbehaving
// server in Python, and a forward proxy. Each picks free ports and stops with its scope.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The test CA and a server certificate for "localhost" and 127.0.0.1, made once per test process.
struct TestCertificates {
  std::filesystem::path caCertificate;   // PEM; pass as ProcessOptions::trustedCa
  std::filesystem::path serverCertificate;
  std::filesystem::path serverKey;
};
const TestCertificates& testCertificates();

class NginxServer {
 public:
  // Serves root (which must be world-readable) at "/" over HTTP and HTTPS.
  explicit NginxServer(const std::filesystem::path& root);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  std::string httpUrl() const;    // "http://127.0.0.1:<port>/"
  std::string httpsUrl() const;   // "https://localhost:<port>/"
  // Request paths (for example "/linux/files/<hash>") in arrival order, read from the access log.
  std::vector<std::string> requestedPaths() const;

 private:
  struct State;
  State* state_;
};
