#include "supervision/Watchdog.h"

#include "supervision/ServerControl.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Codes are unsigned 32-bit values shown as the signed decimals that "%d"
// has always printed for them: 0xFFFFFFFF reads -1.
int AsPrinted(DWORD code) {
    return static_cast<std::int32_t>(code);
}

[[noreturn]] void FailLaunch(DWORD error) {
    std::printf("Create Process failed (%d).\n", AsPrinted(error));
    std::exit(LaunchFailedStatus);
}

void ReportFailure(DWORD exitCode) {
    std::printf("Something wrong ! Restart the Server ...\n");
    std::printf("Error code : %d\n", AsPrinted(exitCode));
}

}  // namespace

std::int32_t RunWatchdog() {
    // Unbuffered, so that every line reaches a file or pipe at once and a
    // watchdog ended from outside has lost none of them.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    for (;;) {
        const LaunchResult launch = LaunchServer();
        if (!launch.ok) {
            FailLaunch(launch.error);
        }

        const DWORD exitCode = AwaitServerExit(launch.process);
        if (exitCode == StopExitCode) {
            std::printf("Closing WatchDog !\n");
            return 0;
        }

        ReportFailure(exitCode);
        Sleep(RestartDelayMs);
    }
}
