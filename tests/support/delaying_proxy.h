// A TCP proxy on loopback (tests/support/delaying_proxy.py) that adds a fixed delay in each
// direction, so a server on this machine answers as one 2 x delay away would. It counts the
// connections it accepted.
#pragma once

#include <cstddef>
#include <string>

class DelayingProxy {
 public:
  // Forwards to 127.0.0.1:targetPort, holding every chunk delayMs in each direction.
  DelayingProxy(int targetPort, int delayMs);
  ~DelayingProxy();
  DelayingProxy(const DelayingProxy&) = delete;
  DelayingProxy& operator=(const DelayingProxy&) = delete;

  int port() const;
  size_t acceptedConnections() const;

 private:
  struct State;
  State* state_;
};
