#include "supervision/ServerControl.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace {

constexpr wchar_t ServerCommandLine[] = L"cmd.exe /c Zentrova.exe";
static_assert(std::size(ServerCommandLine) == 24, "23 code units and the terminator");

// What the exit code reads when the platform reports none.
constexpr DWORD ExitCodePreset = 0xFFFFFFFF;

#ifdef _WIN64
static_assert(sizeof(STARTUPINFOW) == 104, "the start-up record of x86-64");
#endif

}  // namespace

LaunchResult LaunchServer() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};

    // CreateProcessW may write into the command line it is given, so every
    // launch hands over a fresh copy and never the constant itself.
    wchar_t commandLine[std::size(ServerCommandLine)];
    std::wmemcpy(commandLine, ServerCommandLine, std::size(ServerCommandLine));

    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &created)) {
        return {false, {}, GetLastError()};
    }
    return {true, {created.hProcess, created.hThread}, 0};
}

DWORD AwaitServerExit(ServerProcess process) {
    DWORD exitCode = ExitCodePreset;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return exitCode;
}
