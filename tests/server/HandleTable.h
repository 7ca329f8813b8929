#pragma once

#include <windows.h>
#include <winternl.h>

#include <vector>

// Counts the handles that a process holds, read from the system handle
// table: GetProcessHandleCount is not reliable everywhere the tests run.
inline long HandlesOf(DWORD pid) {
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    constexpr auto SystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    constexpr auto LengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

    std::vector<unsigned char> table(1 << 16);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemHandleInformation, table.data(),
                                              static_cast<ULONG>(table.size()), nullptr)) ==
           LengthMismatch) {
        table.resize(table.size() * 2);
    }
    if (status != 0) {
        return -1;
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(table.data());
    const auto* entries = reinterpret_cast<const Entry*>(table.data() + sizeof(void*));
    long owned = 0;
    for (ULONG i = 0; i < count; ++i) {
        owned += entries[i].ownerPid == pid;
    }
    return owned;
}
