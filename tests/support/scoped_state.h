// Process state that a test changes for one scope and puts back afterwards: an environment
// variable, the working folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Sets (a value) or removes (nullopt) an environment variable; the old state returns at the end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  // Sets or removes the variable again within the scope.
  void set(const std::optional<std::string>& value);

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Keeps the test inside a working folder of its own.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& to);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::filesystem::path old_;
};
