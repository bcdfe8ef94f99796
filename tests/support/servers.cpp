#include "tests/support/servers.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

namespace {

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeWhole(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("could not write " + path.string());
}

void runOrThrow(const std::vector<std::string>& argv) {
  ProcessOptions options;
  options.timeoutSeconds = 60;
  ProcessResult result = runProcess(argv, options);
  if (result.exitCode != 0) throw std::runtime_error(argv[0] + " failed: " + result.output);
}

// The serving part of the configuration is the one the publisher's guide gives, as it stands.
const std::string releaseServerLocations =
    "    include " + std::string(VARNHOLT_SOURCE_DIR) + "/docs/nginx/varnholt-release.conf;\n";

constexpr const char* logSyncPath = "/.varnholt-log-sync";

std::string nginxConfig(const std::filesystem::path& work, const std::filesystem::path& root,
                        int httpPort, int httpsPort) {
  const TestCertificates& certificates = testCertificates();
  std::string w = work.string();
  std::ostringstream conf;
  conf << "daemon off;\n"
       << "master_process on;\n"
       << "worker_processes 1;\n"
       // Workers drop to an unprivileged user unless told otherwise; as root keep root, so
       // tests may serve files whatever their mode.
       << (geteuid() == 0 ? "user root root;\n" : "")
       << "pid " << w << "/nginx.pid;\n"
       << "error_log " << w << "/error.log warn;\n"
       << "events { worker_connections 256; }\n"
       << "http {\n"
       << "  log_format requestpath '$request_uri';\n"
       << "  access_log " << w << "/access.log requestpath;\n"
       << "  log_format served '$connection $msec $request_time $server_protocol $request_uri';\n"
       << "  access_log " << w << "/served.log served;\n"
       << "  client_body_temp_path " << w << "/body;\n"
       << "  proxy_temp_path " << w << "/proxy;\n"
       << "  fastcgi_temp_path " << w << "/fastcgi;\n"
       << "  uwsgi_temp_path " << w << "/uwsgi;\n"
       << "  scgi_temp_path " << w << "/scgi;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << httpPort << ";\n"
       << "    listen 127.0.0.1:" << httpsPort << " ssl http2;\n"
       << "    server_name localhost;\n"
       << "    ssl_certificate " << certificates.serverCertificate.string() << ";\n"
       << "    ssl_certificate_key " << certificates.serverKey.string() << ";\n"
       << "    root " << root.string() << ";\n"
       << "    location = " << logSyncPath << " { return 204; }\n"
       // A redirect from HTTPS to the same server's plain HTTP, which a client must refuse.
       << "    location = /.varnholt-to-http { return 302 http://127.0.0.1:" << httpPort << "/.varnholt-log-sync; }\n"
       << releaseServerLocations
       << "  }\n"
       << "}\n";
  return conf.str();
}

constexpr const char* certificatesVariable = "VARNHOLT_TEST_CERTIFICATES";

}  // namespace

const TestCertificates& testCertificates() {
  static const TestCertificates certificates = [] {
    // Child processes of a test (run again in a private mount namespace, say) use the same
    // certificates, so that the CA their parent trusts is the one that signed their servers.
    if (const char* inherited = std::getenv(certificatesVariable)) {
      std::filesystem::path dir = inherited;
      return TestCertificates{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
    }
    static TempFolder folder;
    const std::filesystem::path& dir = folder.path();
    TestCertificates made{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
    runOrThrow({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", (dir / "ca.key").string(), "-out", made.caCertificate.string(),
                "-days", "7", "-subj", "/CN=Varnholt Test CA", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    runOrThrow({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", made.serverKey.string(), "-out", (dir / "server.csr").string(),
                "-subj", "/CN=localhost"});
    writeWhole(dir / "server.ext",
               "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
               "extendedKeyUsage=serverAuth\n");
    runOrThrow({"openssl", "x509", "-req", "-in", (dir / "server.csr").string(), "-CA",
                made.caCertificate.string(), "-CAkey", (dir / "ca.key").string(), "-CAcreateserial",
                "-out", made.serverCertificate.string(), "-days", "7", "-extfile",
                (dir / "server.ext").string()});
    setenv(certificatesVariable, dir.c_str(), 1);
    return made;
  }();
  return certificates;
}

struct NginxServer::State {
  TempFolder work;
  int pid = -1;
  int httpPort = 0;
  int httpsPort = 0;
};

NginxServer::NginxServer(const std::filesystem::path& root) : state_(new State) {
  std::string lastError;
  // A free port can be taken by someone else before nginx binds it; then try new ones.
  for (int attempt = 0; attempt < 5; ++attempt) {
    state_->httpPort = freeLoopbackPort();
    state_->httpsPort = freeLoopbackPort();
    std::filesystem::path conf = state_->work.path() / "nginx.conf";
    writeWhole(conf, nginxConfig(state_->work.path(), std::filesystem::absolute(root),
                                 state_->httpPort, state_->httpsPort));
    state_->pid = startProcess({"nginx", "-e", (state_->work.path() / "error.log").string(), "-c",
                                conf.string(), "-p", state_->work.path().string() + "/"},
                               {}, (state_->work.path() / "nginx.out").string());
    if (waitForListeners(state_->pid, {state_->httpPort, state_->httpsPort})) return;
    stopProcess(state_->pid);
    state_->pid = -1;
    lastError = readWhole(state_->work.path() / "error.log") + readWhole(state_->work.path() / "nginx.out");
  }
  delete state_;
  throw std::runtime_error("nginx did not start: " + lastError);
}

NginxServer::~NginxServer() {
  stopProcess(state_->pid);
  delete state_;
}

std::string NginxServer::httpUrl() const {
  return "http://127.0.0.1:" + std::to_string(state_->httpPort) + "/";
}

std::string NginxServer::httpsUrl() const {
  return "https://localhost:" + std::to_string(state_->httpsPort) + "/";
}

std::vector<std::string> NginxServer::requestedPaths() const {
  // nginx writes a log line after the last byte went out; one more request, answered by the
  // same single worker after it, makes sure every finished request has reached the log.
  httpGetStatus(state_->httpPort, logSyncPath);
  std::vector<std::string> paths;
  std::istringstream lines(readWhole(state_->work.path() / "access.log"));
  for (std::string line; std::getline(lines, line);) {
    if (line != logSyncPath) paths.push_back(line);
  }
  return paths;
}

std::vector<ServedRequest> NginxServer::servedRequests() const {
  httpGetStatus(state_->httpPort, logSyncPath);
  std::vector<ServedRequest> served;
  std::istringstream lines(readWhole(state_->work.path() / "served.log"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    ServedRequest request;
    double seconds = 0;
    fields >> request.connection >> request.end >> seconds >> request.protocol >> request.path;
    if (!fields || request.path == logSyncPath) continue;
    request.start = request.end - seconds;
    served.push_back(request);
  }
  return served;
}

namespace {

std::string pythonProgram() {
  std::error_code ec;
  return std::filesystem::exists("/usr/bin/python3", ec) ? "/usr/bin/python3" : "python3";
}

std::string jsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (sameName(key, name)) return value;
  }
  return "";
}

bool RecordedRequest::hasHeader(const std::string& name) const {
  for (const auto& entry : headers) {
    if (sameName(entry.first, name)) return true;
  }
  return false;
}

struct MisbehavingServer::State {
  TempFolder work;
  int pid = -1;
  int port = 0;
  std::map<std::string, std::string> behaviours;
};

MisbehavingServer::MisbehavingServer(const std::filesystem::path& root) : state_(new State) {
  const std::filesystem::path& w = state_->work.path();
  writeWhole(w / "config.json", "{}");
  std::string rootText = root.empty() ? "" : std::filesystem::absolute(root).string();
  state_->pid = startProcess({pythonProgram(), std::string(VARNHOLT_SOURCE_DIR) + "/tests/support/misbehaving_server.py",
                              "--root", rootText, "--config", (w / "config.json").string(), "--log",
                              (w / "requests.log").string(), "--port-file", (w / "port").string()},
                             {}, (w / "server.out").string());
  state_->port = waitForPortFile(state_->pid, w / "port");
  if (state_->port == 0) {
    std::string output = readWhole(w / "server.out");
    stopProcess(state_->pid);
    delete state_;
    throw std::runtime_error("the misbehaving server did not start: " + output);
  }
}

MisbehavingServer::~MisbehavingServer() {
  stopProcess(state_->pid);
  delete state_;
}

std::string MisbehavingServer::url() const { return "http://127.0.0.1:" + std::to_string(state_->port) + "/"; }

namespace {

// Replaced in one rename, so the server never reads half a configuration.
void writeBehaviours(const std::filesystem::path& folder, const std::map<std::string, std::string>& behaviours) {
  std::string json = "{";
  for (const auto& [path, behaviour] : behaviours) {
    if (json.size() > 1) json += ",\n";
    json += jsonString(path) + ": " + behaviour;
  }
  json += "}\n";
  writeWhole(folder / "config.json.tmp", json);
  std::filesystem::rename(folder / "config.json.tmp", folder / "config.json");
}

}  // namespace

void MisbehavingServer::set(const std::string& path, const std::string& behaviourJson) {
  state_->behaviours[path] = behaviourJson;
  writeBehaviours(state_->work.path(), state_->behaviours);
}

void MisbehavingServer::clear(const std::string& path) {
  state_->behaviours.erase(path);
  writeBehaviours(state_->work.path(), state_->behaviours);
}

std::vector<RecordedRequest> MisbehavingServer::requests() const {
  std::vector<RecordedRequest> requests;
  std::istringstream lines(readWhole(state_->work.path() / "requests.log"));
  bool inRequest = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      inRequest = false;
    } else if (!inRequest) {
      RecordedRequest request;
      size_t space = line.find(' ');
      request.method = line.substr(0, space);
      request.path = space == std::string::npos ? "" : line.substr(space + 1);
      requests.push_back(request);
      inRequest = true;
    } else {
      size_t colon = line.find(": ");
      requests.back().headers.emplace_back(line.substr(0, colon),
                                           colon == std::string::npos ? "" : line.substr(colon + 2));
    }
  }
  return requests;
}

size_t MisbehavingServer::requestCount(const std::string& path) const {
  size_t count = 0;
  for (const RecordedRequest& request : requests()) {
    if (request.path == path) ++count;
  }
  return count;
}

struct ForwardProxy::State {
  TempFolder work;
  int pid = -1;
  int port = 0;
};

ForwardProxy::ForwardProxy() : state_(new State) {
  const std::filesystem::path& w = state_->work.path();
  std::string lastError;
  for (int attempt = 0; attempt < 5; ++attempt) {
    state_->port = freeLoopbackPort();
    writeWhole(w / "tinyproxy.conf", "Port " + std::to_string(state_->port) +
                                         "\nListen 127.0.0.1\nTimeout 600\nLogFile \"" + (w / "proxy.log").string() +
                                         "\"\nLogLevel Connect\nPidFile \"" + (w / "proxy.pid").string() +
                                         "\"\nMaxClients 64\nAllow 127.0.0.1\n");
    state_->pid = startProcess({"tinyproxy", "-d", "-c", (w / "tinyproxy.conf").string()}, {},
                               (w / "proxy.out").string());
    if (waitForListeners(state_->pid, {state_->port})) return;
    stopProcess(state_->pid);
    lastError = readWhole(w / "proxy.out") + readWhole(w / "proxy.log");
  }
  delete state_;
  throw std::runtime_error("tinyproxy did not start: " + lastError);
}

ForwardProxy::~ForwardProxy() {
  stopProcess(state_->pid);
  delete state_;
}

std::string ForwardProxy::url() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

std::vector<std::string> ForwardProxy::requestLines() const {
  // tinyproxy logs a request line as soon as it has read it, before it contacts the server.
  std::vector<std::string> found;
  std::istringstream lines(readWhole(state_->work.path() / "proxy.log"));
  const std::string marker = "]: Request (file descriptor ";
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    size_t colon = line.find("): ", at);
    if (colon != std::string::npos) found.push_back(line.substr(colon + 3));
  }
  return found;
}
