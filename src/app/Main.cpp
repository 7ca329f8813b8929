#include "supervision/Watchdog.h"

int wmain(int, wchar_t*[], wchar_t*[]) {
    return RunWatchdog();
}
