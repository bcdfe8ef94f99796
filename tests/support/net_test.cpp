#include "tests/support/net.h"

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

// A stand-in server: binds 127.0.0.1:<port> and listens; one that cannot bind stays a while,
// as nginx does while it retries.
const char* const serverProgram =
    "import socket, sys, time\n"
    "s = socket.socket()\n"
    "try:\n"
    "    s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(4)\n"
    "    time.sleep(30)\n"
    "except OSError:\n"
    "    time.sleep(1)\n";

class StandInServer {
 public:
  explicit StandInServer(int port) : pid_(startProcess({"python3", "-c", serverProgram, std::to_string(port)})) {}
  ~StandInServer() { stopProcess(pid_); }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;
  int pid() const { return pid_; }

 private:
  int pid_;
};

}  // namespace

// Two tests can pick the same free port; the one whose server lost the race to bind it must not
// take the other's server for its own.
TEST(Listeners, OnlyTheServerThatBoundThePortCountsAsListening) {
  const int port = freeLoopbackPort();
  ASSERT_NE(port, 0);
  StandInServer first(port);
  ASSERT_TRUE(waitForListeners(first.pid(), {port}));

  StandInServer second(port);
  EXPECT_FALSE(waitForListeners(second.pid(), {port}));
}
