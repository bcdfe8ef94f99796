#include "tests/support/delaying_proxy.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

}  // namespace

struct DelayingProxy::State {
  TempFolder work;
  int pid = -1;
  int port = 0;
};

DelayingProxy::DelayingProxy(int targetPort, int delayMs) : state_(new State) {
  const std::filesystem::path& w = state_->work.path();
  state_->pid = startProcess({"python3", std::string(VARNHOLT_SOURCE_DIR) + "/tests/support/delaying_proxy.py",
                              "--target", "127.0.0.1:" + std::to_string(targetPort), "--delay-ms",
                              std::to_string(delayMs), "--port-file", (w / "port").string(), "--accept-log",
                              (w / "accepted.log").string()},
                             {}, (w / "proxy.out").string());
  state_->port = waitForPortFile(state_->pid, w / "port");
  if (state_->port == 0) {
    std::string output = readWhole(w / "proxy.out");
    stopProcess(state_->pid);
    delete state_;
    throw std::runtime_error("the delaying proxy did not start: " + output);
  }
}

DelayingProxy::~DelayingProxy() {
  stopProcess(state_->pid);
  delete state_;
}

int DelayingProxy::port() const { return state_->port; }

size_t DelayingProxy::acceptedConnections() const {
  std::istringstream lines(readWhole(state_->work.path() / "accepted.log"));
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) ++count;
  return count;
}
