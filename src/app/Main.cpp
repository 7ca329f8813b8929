#include "supervision/Watchdog.h"

int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
    return RunWatchdog();
}
