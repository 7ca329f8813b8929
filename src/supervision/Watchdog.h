#pragma once

#include "supervision/Platform.h"

#include <cstdint>

// The exit code by which the server asks to stay stopped (0x1337).
constexpr DWORD StopExitCode = 4919;

// The pause between a failed cycle and the next launch. Only the soak build
// of the benchmarks shortens it, to go through a thousand cycles in a minute.
#ifdef WATCHDOG_SOAK_RESTART_DELAY_MS
constexpr DWORD RestartDelayMs = WATCHDOG_SOAK_RESTART_DELAY_MS;
#else
constexpr DWORD RestartDelayMs = 3000;
#endif

// The watchdog's own exit status after a failed launch; the platform reports
// it as the exit code 0xFFFFFFFF.
constexpr int LaunchFailedStatus = -1;

// Supervises the server until it ends with StopExitCode and returns 0. A
// failed launch ends the process instead, through the runtime's normal exit
// with LaunchFailedStatus.
std::int32_t RunWatchdog();
