#pragma once

#include "supervision/Platform.h"

// One launched server: the command interpreter's process and first thread.
// It is owned for exactly one cycle, from LaunchServer to AwaitServerExit.
struct ServerProcess {
    HANDLE hProcess;
    HANDLE hThread;
};

// The outcome of a launch: the process when ok is set, otherwise the system
// error code of the failed launch.
struct LaunchResult {
    bool ok;
    ServerProcess process;
    DWORD error;
};

// Starts the server's fixed command line in a new process of this console.
LaunchResult LaunchServer();

// Blocks until the process has ended, closes both of its handles and returns
// its exit code, or 0xFFFFFFFF when the platform reports none.
DWORD AwaitServerExit(ServerProcess process);
