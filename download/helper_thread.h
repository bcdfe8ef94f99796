// A helper thread where the system has one to spare.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

// Starts body on thread; false when the system has no thread to spare, and the caller then does
// the work itself.
template <typename Body>
[[nodiscard]] bool startHelperThread(std::thread& thread, Body&& body) {
  try {
    thread = std::thread(std::forward<Body>(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}
