#include "supervision/Watchdog.h"

#include "supervision/ServerControl.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int StandardOutput = 1;

// Room for the longest message with the longest number, and to spare.
constexpr std::size_t LineCapacity = 64;

// Every message is formatted whole and then handed to standard output in one
// write of the runtime's low-level output, which adds text mode's "\r" within
// that same write. So no other writer to the console or pipe can come between
// the pieces of a line, and no line waits in a buffer: a file or pipe holds
// each one as soon as it is written, and a watchdog ended from outside has
// lost none. The stdio functions would not do: on an unbuffered stream they
// may hand a line over in pieces, down to one write per character.
void WriteLine(const char (&line)[LineCapacity], int length) {
    if (length > 0 && static_cast<std::size_t>(length) < LineCapacity) {
        _write(StandardOutput, line, static_cast<unsigned int>(length));
    }
}

// Codes are unsigned 32-bit values shown as the signed decimals that "%d"
// has always printed for them: 0xFFFFFFFF reads -1.
int AsPrinted(DWORD code) {
    return static_cast<std::int32_t>(code);
}

[[noreturn]] void FailLaunch(DWORD error) {
    char line[LineCapacity];
    WriteLine(line,
              std::snprintf(line, sizeof line, "Create Process failed (%d).\n", AsPrinted(error)));
    std::exit(LaunchFailedStatus);
}

void ReportFailure(DWORD exitCode) {
    char line[LineCapacity];
    WriteLine(line, std::snprintf(line, sizeof line, "Something wrong ! Restart the Server ...\n"));
    WriteLine(line, std::snprintf(line, sizeof line, "Error code : %d\n", AsPrinted(exitCode)));
}

}  // namespace

std::int32_t RunWatchdog() {
    for (;;) {
        const LaunchResult launch = LaunchServer();
        if (!launch.ok) {
            FailLaunch(launch.error);
        }

        const DWORD exitCode = AwaitServerExit(launch.process);
        if (exitCode == StopExitCode) {
            char line[LineCapacity];
            WriteLine(line, std::snprintf(line, sizeof line, "Closing WatchDog !\n"));
            return 0;
        }

        ReportFailure(exitCode);
        Sleep(RestartDelayMs);
    }
}
