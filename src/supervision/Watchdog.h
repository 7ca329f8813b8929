#pragma once

#include "supervision/Platform.h"

#include <cstdint>

// The exit code by which the server asks to stay stopped (0x1337).
constexpr DWORD StopExitCode = 4919;

// The pause between a failed cycle and the next launch.
constexpr DWORD RestartDelayMs = 3000;

// The watchdog's own exit status after a failed launch; the platform reports
// it as the exit code 0xFFFFFFFF.
constexpr int LaunchFailedStatus = -1;

// Supervises the server until it ends with StopExitCode and returns 0. A
// failed launch ends the process instead, through the runtime's normal exit
// with LaunchFailedStatus.
std::int32_t RunWatchdog();
