#include "ScriptedPlatform.h"

#include "supervision/ServerControl.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::vector<ScriptedLaunch> script;
std::size_t launched = 0;
bool awaiting = false;

void Event(const std::string& text) {
    const std::string line = "[" + text + "]\n";
    if (write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::abort();
    }
}

// Handles that name the launch they came from, so that a mix-up shows.
HANDLE FakeHandle(std::size_t launch, std::uintptr_t which) {
    return reinterpret_cast<HANDLE>(0x1000 * launch + which);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

void PlayLaunches(std::vector<ScriptedLaunch> launches) {
    script = std::move(launches);
    launched = 0;
    awaiting = false;
}

LaunchResult LaunchServer() {
    if (launched == script.size()) {
        Event("launch beyond the script");
        std::_Exit(99);
    }
    if (awaiting) {
        Event("launch while the previous server is not awaited");
    }
    const ScriptedLaunch next = script[launched++];
    Event("launch " + std::to_string(launched));
    if (next.fails) {
        return {false, {FakeHandle(launched, 1), FakeHandle(launched, 2)}, next.code};
    }
    awaiting = true;
    return {true, {FakeHandle(launched, 1), FakeHandle(launched, 2)}, 0};
}

DWORD AwaitServerExit(ServerProcess process) {
    const bool same =
        process.hProcess == FakeHandle(launched, 1) && process.hThread == FakeHandle(launched, 2);
    Event(awaiting && same ? "await " + std::to_string(launched) : "await of a foreign process");
    awaiting = false;
    return script[launched - 1].code;
}

extern "C" void Sleep(DWORD dwMilliseconds) {
    Event("sleep " + std::to_string(dwMilliseconds));
}

// Passes the watchdog's output through, and tells when a write is not exactly
// one whole line: a line handed over in pieces can be torn by another writer.
extern "C" int _write(int fd, const void* buffer, unsigned int count) {
    const std::string text(static_cast<const char*>(buffer), count);
    if (text.empty() || text.find('\n') != text.size() - 1) {
        Event("write of other than one whole line");
    }
    return static_cast<int>(write(fd, buffer, count));
}
