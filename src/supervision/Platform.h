#pragma once

// The few platform names that the supervision loop uses. On Windows they come
// from the platform itself; the loop is also compiled natively on the
// development host, where its unit tests supply these names at link time.

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

using DWORD = std::uint32_t;
using HANDLE = void*;

extern "C" void Sleep(DWORD dwMilliseconds);
#endif
