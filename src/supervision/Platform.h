#pragma once

// The few platform names that the supervision loop uses. On Windows they come
// from the platform and its C runtime; the loop is also compiled natively on
// the development host, where its unit tests supply these names at link time.

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cstdint>

using DWORD = std::uint32_t;
using HANDLE = void*;

extern "C" void Sleep(DWORD dwMilliseconds);
// The C runtime's low-level write, as the runtime names it.
extern "C" int _write(int fd, const void* buffer, unsigned int count);
#endif
