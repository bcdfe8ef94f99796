#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

std::vector<std::string> wrappedArgv(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (options.trustedCa.empty() && options.hiddenFolders.empty()) return argv;
  // unshare gives the child a mount namespace of its own; the mounts are seen only there. The
  // script takes its paths as arguments ($1 on), so no path needs quoting.
  std::string script;
  std::vector<std::string> paths;
  for (const std::string& folder : options.hiddenFolders) {
    script += "mount -t tmpfs -o size=1m tmpfs \"$1\" && shift && ";
    paths.push_back(folder);
  }
  if (!options.trustedCa.empty()) {
    script += "mount --bind \"$1\" \"$2\" && shift 2 && ";
    paths.push_back(options.trustedCa);
    paths.push_back(systemCaBundlePath());
  }
  script += "exec \"$@\"";
  std::vector<std::string> wrapped = {"unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"};
  wrapped.insert(wrapped.end(), paths.begin(), paths.end());
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, const ProcessOptions& options) {
  for (const std::string& e : options.env) {
    size_t eq = e.find('=');
    if (eq == std::string::npos) unsetenv(e.c_str());
    else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) _exit(126);
  std::vector<std::string> full = wrappedArgv(argv, options);
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(a.data());
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

std::string systemCaBundlePath() {
  for (const char* p : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                        "/etc/ssl/ca-bundle.pem", "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
                        "/etc/ssl/cert.pem"}) {
    std::error_code ec;
    if (std::filesystem::exists(p, ec)) return p;
  }
  return "/etc/ssl/certs/ca-certificates.crt";
}

int startProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                 const std::string& outputFile) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  int in = open("/dev/null", O_RDONLY);
  dup2(in, 0);
  int out = outputFile.empty() ? open("/dev/null", O_WRONLY)
                               : open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, 1);
  dup2(out, 2);
  execChild(argv, options);
}

ProcessResult waitProcess(int pid) {
  ProcessResult result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int outPipe[2], inPipe[2];
  if (pipe(outPipe) != 0 || pipe(inPipe) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(outPipe[1], 2);
    close(outPipe[0]); close(outPipe[1]); close(inPipe[0]); close(inPipe[1]);
    execChild(argv, options);
  }
  close(outPipe[1]);
  close(inPipe[0]);
  if (!options.input.empty()) {
    ssize_t ignored = write(inPipe[1], options.input.data(), options.input.size());
    (void)ignored;
  }
  close(inPipe[1]);

  ProcessResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
  char buffer[65536];
  int status = 0;
  bool exited = false;
  while (true) {
    ssize_t got = read(outPipe[0], buffer, sizeof buffer);
    if (got > 0) { result.output.append(buffer, got); continue; }
    if (got == 0) break;  // every writer closed
    if (exited) break;  // a detached grandchild may hold the pipe open; the child is done
    if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
    if (std::chrono::steady_clock::now() > deadline) { kill(-pid, SIGKILL); kill(pid, SIGKILL); }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  close(outPipe[0]);
  if (!exited) waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}
