// Running the real programs from tests: a child process with extra environment, its output
// captured, optionally inside a private mount namespace where a test CA stands in for the
// system's CA bundle (so a real TLS handshake with peer verification can be tested without
// touching the machine's trust store).
#pragma once

#include <string>
#include <vector>

struct ProcessOptions {
  std::vector<std::string> env;    // "NAME=value" to set, "NAME" alone to remove
  std::string trustedCa;           // if set: bind-mounted over the system CA bundle
  std::vector<std::string> hiddenFolders;  // each covered by an empty tmpfs in the child's view
  std::string workingFolder;       // if set: the child's working folder
  std::string input;               // written to the child's standard input
  int timeoutSeconds = 300;        // the child is killed after this long
};

struct ProcessResult {
  int exitCode = -1;               // -1 when the child ended by a signal
  int signal = 0;
  std::string output;              // standard output and standard error together
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Starts a child in the background; returns its pid (output goes to outputFile if given).
int startProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                 const std::string& outputFile = "");
// Waits for a background child; fills the exit code or signal.
ProcessResult waitProcess(int pid);

// The CA bundle path the child's view replaces: the first of the program's candidates that exists.
std::string systemCaBundlePath();
