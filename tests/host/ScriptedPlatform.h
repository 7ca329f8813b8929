#pragma once

#include "supervision/Platform.h"

#include <vector>

// One launch as the doubles play it: either a launch that fails with a system
// error code, or a server that runs and ends with an exit code.
struct ScriptedLaunch {
    bool fails;
    DWORD code;
};

inline ScriptedLaunch LaunchFails(DWORD error) {
    return {true, error};
}
inline ScriptedLaunch ServerEnds(DWORD exitCode) {
    return {false, exitCode};
}

// Sets the launches that LaunchServer will play, in order. Every call of the
// doubles writes a bracketed event to file descriptor 1, so that a test which
// sends standard output to a file reads the watchdog's lines and its calls
// interleaved in the order they happened. The watchdog's own writes pass
// through unchanged, with an event after any write that is not exactly one
// whole line.
void PlayLaunches(std::vector<ScriptedLaunch> launches);
