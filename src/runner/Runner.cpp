// run-watchdog.exe, what the scheduled task runs: watchdog.exe from its own
// folder, again a minute after every end but the one by which the server
// asked to stay stopped, with every line that the watchdog and the server
// print written to watchdog.log beside it and to its own standard output,
// each stamped with the local time.

#include "version.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

constexpr DWORD RestartDelayMs = 60000;
// How long the start of a line waits for its end before it is written as it
// is: long enough for a line printed in pieces to arrive whole, short enough
// that a prompt or a progress dot shows while the server waits.
constexpr ULONGLONG HeldLineMs = 500;
// A longer line is written in pieces of this many bytes.
constexpr std::size_t PieceBytes = 4096;
// "2026-12-11T10:42:07.123+01:00 "
constexpr std::size_t StampLength = 30;
// A note of the runner's own, its text at most NoteCapacity bytes.
constexpr std::size_t NoteCapacity = 256;
constexpr std::size_t NoteLength = StampLength + NoteCapacity + 2;
constexpr DWORD PipeBytes = 65536;
// The lines of a read go out together, each whole: one write of them all to
// the log and one to standard output, where a write a line would take the
// server's output at a tenth of the pace of a file.
constexpr std::size_t BatchBytes = std::size_t{2} * PipeBytes;

constexpr ULONGLONG LogLimitBytes = 10 << 20;
constexpr int OldLogs = 10;
constexpr wchar_t LogName[] = L"watchdog.log";
// Held for the runner's whole life without write sharing: the one runner of
// the folder, whose process id it holds for a second one to name.
constexpr wchar_t LockName[] = L"run-watchdog.lock";

constexpr ULONGLONG Never = ~0ULL;
constexpr int FailedStatus = 1;

// Where the lines go: the log, reopened whenever it is gone and counting the
// lines it could not take, and the runner's own standard output.
struct Log {
    HANDLE file;
    ULONGLONG size;
    unsigned long lost;
    DWORD error;
    HANDLE output;
};

// The pipe that the watchdog and the server write to, its read under way, the
// line read so far, after room for its stamp, and the lines ready to go out.
struct Pipe {
    HANDLE read;
    HANDLE write;
    OVERLAPPED overlapped;
    char buffer[PipeBytes];
    char line[StampLength + PieceBytes + 2];
    std::size_t held;
    ULONGLONG heldSince;
    char batch[BatchBytes];
    std::size_t batched;
};

void Stamp(char (&stamp)[StampLength + 1]) {
    FILETIME utc{};
    GetSystemTimeAsFileTime(&utc);
    // UTC is the local time plus the bias, in minutes, of the zone's standard
    // or daylight time, whichever applies now.
    TIME_ZONE_INFORMATION zone{};
    const bool daylight = GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
    const LONG offset = -(zone.Bias + (daylight ? zone.DaylightBias : zone.StandardBias));
    constexpr LONGLONG FileTimePerMinute = 600000000;  // in units of 100 ns
    ULARGE_INTEGER ticks{{utc.dwLowDateTime, utc.dwHighDateTime}};
    ticks.QuadPart += static_cast<ULONGLONG>(offset * FileTimePerMinute);
    const FILETIME local{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME t{};
    FileTimeToSystemTime(&local, &t);
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld ", t.wYear,
                  t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
}

// Puts the stamp before a line's text, which begins StampLength bytes into
// `line`, and an end after it unless it has its own; returns the length.
DWORD Frame(char* line, std::size_t textLength, const char (&stamp)[StampLength + 1]) {
    std::memcpy(line, stamp, StampLength);
    std::size_t length = StampLength + textLength;
    if (line[length - 1] != '\n') {
        line[length++] = '\r';
        line[length++] = '\n';
    }
    return static_cast<DWORD>(length);
}

// A note of the runner's own, stamped now and ended; returns its length.
DWORD Compose(char (&line)[NoteLength], const char* text) {
    char stamp[StampLength + 1];
    Stamp(stamp);
    const std::size_t length = strnlen(text, NoteCapacity);
    std::memcpy(line + StampLength, text, length);
    return Frame(line, length, stamp);
}

// Standard output may be closed or broken: the lines go on all the same.
void Show(const Log& log, const char* line, DWORD length) {
    DWORD written = 0;
    WriteFile(log.output, line, length, &written, nullptr);
}

void Tell(const Log& log, const char* text) {
    char line[NoteLength];
    Show(log, line, Compose(line, text));
}

// Append-only, so that every write goes to its end; shared every way, so that
// operators can read, follow, copy, move or delete it while it is written:
// the lock, not the log, keeps a second runner out.
void OpenLog(Log& log) {
    log.file = CreateFileW(LogName, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (log.file == INVALID_HANDLE_VALUE) {
        log.error = GetLastError();
    } else {
        GetFileSizeEx(log.file, &size);
    }
    log.size = static_cast<ULONGLONG>(size.QuadPart);
}

using OldLogName = wchar_t[32];

void NameOldLog(OldLogName& name, int n) {
    std::swprintf(name, std::size(name), L"watchdog.%d.log", n);
}

// Moves the log to watchdog.1.log and the older ones up, as far as the first
// free place, the oldest out where there is none. One that a reader holds
// without delete sharing stays, with those below it and the log, to be moved
// at a later line; no older log goes meanwhile.
bool Rotate() {
    OldLogName older;
    OldLogName newer;
    int free = 1;
    NameOldLog(newer, free);
    while (free < OldLogs && GetFileAttributesW(newer) != INVALID_FILE_ATTRIBUTES) {
        NameOldLog(newer, ++free);
    }
    for (int n = free - 1; n >= 1; --n) {
        NameOldLog(older, n);
        NameOldLog(newer, n + 1);
        MoveFileExW(older, newer, n + 1 == OldLogs ? MOVEFILE_REPLACE_EXISTING : 0);
    }
    NameOldLog(newer, 1);
    return MoveFileExW(LogName, newer, 0) != 0;
}

void CloseLog(Log& log) {
    CloseHandle(log.file);
    log.file = INVALID_HANDLE_VALUE;
}

// Before the lines that came at once: a log moved or deleted away since is
// started anew at the first of them.
void Recheck(Log& log) {
    if (log.file != INVALID_HANDLE_VALUE &&
        GetFileAttributesW(LogName) == INVALID_FILE_ATTRIBUTES) {
        CloseLog(log);
    }
}

bool Append(Log& log, const char* line, DWORD length) {
    DWORD written = 0;
    if (WriteFile(log.file, line, length, &written, nullptr) && written == length) {
        log.size += length;
        return true;
    }
    log.error = GetLastError();
    return false;
}

// The count of the lines that the log could not take goes before the first
// line that it takes again.
bool AppendLost(Log& log) {
    char text[NoteCapacity];
    std::snprintf(text, sizeof text,
                  "run-watchdog: %lu lines could not be written to watchdog.log (error %lu)",
                  log.lost, log.error);
    char line[NoteLength];
    const DWORD length = Compose(line, text);
    if (!Append(log, line, length)) {
        return false;
    }
    Show(log, line, length);
    log.lost = 0;
    return true;
}

// A line can wait for nothing: one that the log cannot take is counted, and
// the first of them says why on standard output. Every line ends with "\n".
void Write(Log& log, const char* lines, DWORD length) {
    if (log.file == INVALID_HANDLE_VALUE) {
        OpenLog(log);
    }
    if (log.file != INVALID_HANDLE_VALUE && (log.lost == 0 || AppendLost(log)) &&
        Append(log, lines, length)) {
        return;
    }
    const bool first = log.lost == 0;
    log.lost += static_cast<unsigned long>(std::count(lines, lines + length, '\n'));
    if (first) {
        char reason[128] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       log.error, 0, reason, sizeof reason, nullptr);
        reason[std::strcspn(reason, "\r\n")] = '\0';
        char text[NoteCapacity];
        std::snprintf(text, sizeof text,
                      "run-watchdog: watchdog.log cannot be written (error %lu: %s); its lines"
                      " are counted until it can",
                      log.error, reason);
        Tell(log, text);
    }
}

// A full log is moved aside at the first line that would take it past its
// limit, the lines before that written to it first.
void Record(Log& log, const char* lines, DWORD length) {
    if (log.file != INVALID_HANDLE_VALUE && log.size > 0 && log.size + length > LogLimitBytes) {
        const char* end = lines + (LogLimitBytes > log.size ? LogLimitBytes - log.size : 0);
        while (end > lines && end[-1] != '\n') {
            --end;
        }
        if (end > lines) {
            const auto fitting = static_cast<DWORD>(end - lines);
            Write(log, lines, fitting);
            lines += fitting;
            length -= fitting;
        }
        if (Rotate()) {
            CloseLog(log);
        }
    }
    Write(log, lines, length);
}

// The log first, so that standard output shows a line after the count of
// the lost lines that goes before it, and once the log has had it.
void Emit(Log& log, const char* line, DWORD length) {
    Record(log, line, length);
    Show(log, line, length);
}

void Note(Log& log, const char* text) {
    char line[NoteLength];
    Recheck(log);
    Emit(log, line, Compose(line, text));
}

void EmitHeld(Pipe& pipe, Log& log) {
    char stamp[StampLength + 1];
    Stamp(stamp);
    Recheck(log);
    Emit(log, pipe.line, Frame(pipe.line, pipe.held, stamp));
    pipe.held = 0;
}

void Flush(Pipe& pipe, Log& log) {
    if (pipe.batched > 0) {
        Emit(log, pipe.batch, static_cast<DWORD>(pipe.batched));
        pipe.batched = 0;
    }
}

// Every line that a read brings, as its end arrives, and every piece of a
// longer one, stamped with the moment of the read.
void Pass(Pipe& pipe, Log& log, DWORD got) {
    char stamp[StampLength + 1];
    Stamp(stamp);
    Recheck(log);
    const ULONGLONG now = GetTickCount64();
    for (DWORD i = 0; i < got; ++i) {
        if (pipe.held == 0) {
            pipe.heldSince = now;
        }
        pipe.line[StampLength + pipe.held++] = pipe.buffer[i];
        if (pipe.buffer[i] == '\n' || pipe.held == PieceBytes) {
            const DWORD length = Frame(pipe.line, pipe.held, stamp);
            if (pipe.batched + length > BatchBytes) {
                Flush(pipe, log);
            }
            std::memcpy(pipe.batch + pipe.batched, pipe.line, length);
            pipe.batched += length;
            pipe.held = 0;
        }
    }
    Flush(pipe, log);
}

// Completes the read under way, whose event is set or is about to be, and
// starts the next; a read that completes at once sets the event as well.
void Take(Pipe& pipe, Log& log) {
    DWORD got = 0;
    if (GetOverlappedResult(pipe.read, &pipe.overlapped, &got, TRUE)) {
        Pass(pipe, log, got);
    }
    ReadFile(pipe.read, pipe.buffer, PipeBytes, nullptr, &pipe.overlapped);
}

// Writes what the pipe brings until `process` has ended or, without one, until
// the tick count `until`. It only ever blocks, with a timeout only while the
// start of a line is held or `until` is set.
void Follow(Pipe& pipe, Log& log, HANDLE process, ULONGLONG until) {
    for (;;) {
        const ULONGLONG held = pipe.held > 0 ? pipe.heldSince + HeldLineMs : Never;
        const ULONGLONG due = held < until ? held : until;
        const ULONGLONG now = GetTickCount64();
        const DWORD timeout =
            due == Never ? INFINITE : static_cast<DWORD>(due > now ? due - now : 0);
        // The watchdog's last write completed the read under way before it
        // ended, and each next read completes at once while the pipe holds
        // more; with a read and the end both signalled, the wait gives the
        // read, the smaller index. So its every line comes before its end.
        const HANDLE events[] = {pipe.overlapped.hEvent, process};
        const DWORD woken = WaitForMultipleObjects(process ? 2 : 1, events, FALSE, timeout);
        if (woken == WAIT_OBJECT_0) {
            Take(pipe, log);
        } else if (woken == WAIT_OBJECT_0 + 1) {
            if (pipe.held > 0) {
                EmitHeld(pipe, log);
            }
            return;
        } else if (woken == WAIT_TIMEOUT) {
            if (GetTickCount64() >= held) {
                EmitHeld(pipe, log);
            }
            if (GetTickCount64() >= until) {
                return;
            }
        }
    }
}

// The runner keeps the pipe's write end for its whole life, so that the pipe
// never breaks and a server left running after its watchdog is still heard.
bool OpenPipe(Pipe& pipe) {
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"\\\\.\\pipe\\run-watchdog-%lu", GetCurrentProcessId());
    pipe.read = CreateNamedPipeW(
        name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        PipeBytes, 0, nullptr);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    pipe.write = CreateFileW(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    pipe.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe.read == INVALID_HANDLE_VALUE || pipe.write == INVALID_HANDLE_VALUE ||
        !pipe.overlapped.hEvent) {
        return false;
    }
    ReadFile(pipe.read, pipe.buffer, PipeBytes, nullptr, &pipe.overlapped);
    return true;
}

// Takes the folder's lock and holds it, never closed, until the runner ends;
// false where another runner holds it, which it names.
bool Lock(const Log& log) {
    HANDLE lock = CreateFileW(LockName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    char text[NoteCapacity];
    if (lock != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const int length = std::snprintf(text, sizeof text, "%lu\r\n", GetCurrentProcessId());
        WriteFile(lock, text, static_cast<DWORD>(length), &written, nullptr);
    } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
        HANDLE held = CreateFileW(LockName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char holder[16] = "?";
        DWORD got = 0;
        ReadFile(held, holder, sizeof holder - 1, &got, nullptr);
        CloseHandle(held);
        holder[std::strcspn(holder, "\r\n")] = '\0';
        std::snprintf(text, sizeof text,
                      "run-watchdog: another run-watchdog, process %s, holds watchdog.log and runs"
                      " this folder's watchdog; this one ends",
                      holder);
        Tell(log, text);
        return false;
    } else {
        // A folder that cannot be written keeps no log either, and the server
        // runs all the same.
        std::snprintf(text, sizeof text, "run-watchdog: %ls cannot be held (error %lu)", LockName,
                      GetLastError());
        Tell(log, text);
    }
    return true;
}

// Makes the runner's folder the current directory, and `watchdog` the full
// path of the watchdog.exe in it.
bool EnterOwnFolder(wchar_t (&watchdog)[MAX_PATH]) {
    constexpr wchar_t Name[] = L"watchdog.exe";
    const DWORD length = GetModuleFileNameW(nullptr, watchdog, MAX_PATH);
    wchar_t* name = std::wcsrchr(watchdog, L'\\');
    if (length == 0 || length == MAX_PATH || !name ||
        name + std::size(Name) >= watchdog + MAX_PATH) {
        return false;
    }
    // With its backslash, so that a drive's root is the root and not the
    // drive's current directory.
    name[1] = L'\0';
    const bool entered = SetCurrentDirectoryW(watchdog) != 0;
    std::wmemcpy(name + 1, Name, std::size(Name));
    return entered;
}

// The watchdog in this console, its standard output and error the pipe, its
// input the runner's own; the server, started without inheritance, gets
// copies of the watchdog's standard handles, as a console child does.
bool Launch(const wchar_t (&watchdog)[MAX_PATH], const Pipe& pipe, HANDLE input,
            PROCESS_INFORMATION& created) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = pipe.write;
    startup.hStdError = pipe.write;
    wchar_t commandLine[MAX_PATH + 2];
    std::swprintf(commandLine, std::size(commandLine), L"\"%ls\"", watchdog);
    return CreateProcessW(watchdog, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &created) != 0;
}

}  // namespace

int wmain() {
    Log log{INVALID_HANDLE_VALUE, 0, 0, 0, GetStdHandle(STD_OUTPUT_HANDLE)};
    wchar_t watchdog[MAX_PATH];
    if (!EnterOwnFolder(watchdog)) {
        Tell(log, "run-watchdog: its own folder cannot be found");
        return FailedStatus;
    }
    if (!Lock(log)) {
        return FailedStatus;
    }
    Pipe pipe{};
    if (!OpenPipe(pipe)) {
        Tell(log, "run-watchdog: its pipe cannot be made");
        return FailedStatus;
    }
    // Only inheritable handles reach the watchdog, so its input is a copy.
    HANDLE input = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(),
                    &input, 0, TRUE, DUPLICATE_SAME_ACCESS);

    char text[NoteCapacity];
    std::snprintf(text, sizeof text, "run-watchdog %s started, process %lu", WATCHDOG_VERSION_TEXT,
                  GetCurrentProcessId());
    Note(log, text);
    for (;;) {
        PROCESS_INFORMATION created{};
        if (Launch(watchdog, pipe, input, created)) {
            std::snprintf(text, sizeof text, "run-watchdog: watchdog.exe started, process %lu",
                          created.dwProcessId);
            Note(log, text);
            Follow(pipe, log, created.hProcess, Never);
            DWORD status = 0xFFFFFFFF;
            GetExitCodeProcess(created.hProcess, &status);
            CloseHandle(created.hProcess);
            CloseHandle(created.hThread);
            std::snprintf(text, sizeof text, "run-watchdog: watchdog.exe ended with status %d",
                          static_cast<int>(status));
            Note(log, text);
            if (status == 0) {
                return 0;
            }
        } else {
            std::snprintf(text, sizeof text,
                          "run-watchdog: watchdog.exe could not be started (error %lu)",
                          GetLastError());
            Note(log, text);
        }
        std::snprintf(text, sizeof text, "run-watchdog: watchdog.exe starts again in %lu s",
                      RestartDelayMs / 1000);
        Note(log, text);
        Follow(pipe, log, nullptr, GetTickCount64() + RestartDelayMs);
    }
}
