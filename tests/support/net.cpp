#include "tests/support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool connects(const Socket& s, int port) {
  sockaddr_in address = loopback(port);
  return s.fd() >= 0 && connect(s.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// The inodes of the sockets listening on port of 127.0.0.1 or of every address, from the
// kernel's table of TCP sockets.
std::vector<unsigned long> listeningInodes(int port) {
  char loopbackAddress[32], anyAddress[32];
  std::snprintf(loopbackAddress, sizeof loopbackAddress, "0100007F:%04X", port);
  std::snprintf(anyAddress, sizeof anyAddress, "00000000:%04X", port);
  std::vector<unsigned long> inodes;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    constexpr const char* listening = "0A";
    if (fields && state == listening && (local == loopbackAddress || local == anyAddress)) inodes.push_back(inode);
  }
  return inodes;
}

bool holdsSocket(int pid, const std::vector<unsigned long>& inodes) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec) continue;
    for (unsigned long inode : inodes) {
      if (target == "socket:[" + std::to_string(inode) + "]") return true;
    }
  }
  return false;
}

}  // namespace

int freeLoopbackPort() {
  Socket s;
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (s.fd() < 0 || bind(s.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(s.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

bool processRunning(int pid) {
  // WNOWAIT leaves an ended child to be reaped by stopProcess.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

bool waitForListeners(int pid, const std::vector<int>& ports) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  size_t ready = 0;
  while (ready < ports.size()) {
    if (!processRunning(pid)) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    // A port that answers is not enough: another test's server may have taken it between
    // freeLoopbackPort() and this server's bind, while this one is still failing to bind.
    if (holdsSocket(pid, listeningInodes(ports[ready]))) {
      ++ready;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void stopProcess(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (true) {
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Whatever the process left in its group (workers of a master) goes with it.
  kill(-pid, SIGKILL);
}

int waitForPortFile(int pid, const std::filesystem::path& portFile) {
  for (int i = 0; i < 1500; ++i) {
    std::ifstream in(portFile);
    int port = 0;
    if (in >> port && port > 0) return port;
    if (!processRunning(pid)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

int httpGetStatus(int port, const std::string& path) {
  Socket s;
  if (!connects(s, port)) return 0;
  std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return 0;
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = recv(s.fd(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  // "HTTP/1.1 204 No Content"
  if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0) return 0;
  return std::atoi(answer.substr(9, 3).c_str());
}
