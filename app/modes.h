// The run modes that start-up hands control to, and the window's actions. All run on the
// main thread; each returns the process's exit code.
#pragma once

int uninstallMain();
int quietMain();
// Window mode; snapshot mode when the options carry a snapshot path.
int windowMain();

// Starts the installed game detached in the install folder; true if a process was created.
bool launchGame(bool withUpdatedFlag);

// Keeps a late X error about SDL's wake-up event to a window already closed from ending the
// process; every other X error goes where it went before. Call after SDL has opened its video.
void tolerateWakeupsToClosedWindows();
