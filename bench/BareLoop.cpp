// The least program that does the watchdog's job, for comparison: launch,
// wait, close, pause, with nothing printed.

#include <windows.h>

int wmain() {
    for (;;) {
        wchar_t commandLine[] = L"cmd.exe /c Zentrova.exe";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &created)) {
            return -1;
        }
        DWORD code = 0xFFFFFFFF;
        WaitForSingleObject(created.hProcess, INFINITE);
        GetExitCodeProcess(created.hProcess, &code);
        CloseHandle(created.hProcess);
        CloseHandle(created.hThread);
        if (code == 4919) {
            return 0;
        }
        Sleep(3000);
    }
}
