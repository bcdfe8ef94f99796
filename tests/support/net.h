// Small helpers for the test servers: free loopback ports, waiting until a server listens,
// stopping a server process, and a bare HTTP/1.0 GET without the program's own client.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick for port 0).
int freeLoopbackPort();
// True while child pid has not ended (an ended child is left for stopProcess to reap).
bool processRunning(int pid);
// True once process pid itself listens on every port of 127.0.0.1 (a port that another process
// took first never counts); false if pid ends first or after 15 s.
bool waitForListeners(int pid, const std::vector<int>& ports);
// The port that a server started as pid writes to portFile once it listens (servers that bind
// port 0 themselves); 0 if pid ends first or after 15 s.
int waitForPortFile(int pid, const std::filesystem::path& portFile);
// SIGTERM to the process, SIGKILL to its process group if it is still there after 5 s; reaps it.
void stopProcess(int pid);
// GET path from 127.0.0.1:port over plain HTTP/1.0; the status code, or 0 on any failure.
int httpGetStatus(int port, const std::string& path);
