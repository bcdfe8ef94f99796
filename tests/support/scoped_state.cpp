#include "tests/support/scoped_state.h"

#include <cstdlib>

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  set(value);
}

ScopedEnv::~ScopedEnv() { set(old_); }

void ScopedEnv::set(const std::optional<std::string>& value) {
  if (value) {
    setenv(name_, value->c_str(), 1);
  } else {
    unsetenv(name_);
  }
}

ScopedCwd::ScopedCwd(const std::filesystem::path& to) : old_(std::filesystem::current_path()) {
  std::filesystem::current_path(to);
}

ScopedCwd::~ScopedCwd() { std::filesystem::current_path(old_); }
