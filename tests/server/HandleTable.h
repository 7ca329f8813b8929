#pragma once

#include <windows.h>

// Counts the handles that a process holds by trying every value that one of
// its handles could have. GetProcessHandleCount is not reliable everywhere the
// tests run, and Wine's server crashes when the system handle table is read
// (NtQuerySystemInformation) while some new process holds no handle yet: it
// walks that process's empty table with an unsigned index and runs off its
// end. Trying values is slower, but touches no other process.
inline long HandlesOf(DWORD pid) {
    // Handle values are multiples of four; this many past the last one found
    // are tried before the count ends.
    constexpr ULONG_PTR Step = 4;
    constexpr ULONG_PTR Beyond = 1024;

    const bool own = pid == GetCurrentProcessId();
    HANDLE process = own ? GetCurrentProcess() : OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    if (!process) {
        return -1;
    }
    long held = 0;
    for (ULONG_PTR value = Step, last = 0; value <= last + Beyond * Step; value += Step) {
        auto handle = reinterpret_cast<HANDLE>(value);
        bool valid = false;
        if (own) {
            DWORD flags = 0;
            valid = GetHandleInformation(handle, &flags) != 0;
        } else {
            HANDLE copy = nullptr;
            valid = DuplicateHandle(process, handle, GetCurrentProcess(), &copy, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS) != 0;
            if (valid) {
                CloseHandle(copy);
            }
        }
        if (valid) {
            ++held;
            last = value;
        }
    }
    if (!own) {
        CloseHandle(process);
    }
    return held;
}
