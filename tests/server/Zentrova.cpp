// A stand-in for the real server, for the demo and the tests. It takes no
// arguments from the watchdog, so it reads what to do from "zentrova.plan" in
// its current directory, one line per run:
//
//     <milliseconds to run> <exit code> [say] [flood] [clock] [long] [binary]
//         [crash] [break-cmd] [orphan] [partial] [handles] [env]
//
// Run N follows line N; runs beyond the last line follow the last line, and
// without a plan the server ends at once with 4919. Each run appends two lines
// to "zentrova.log": what it saw when it started, and when it ended with which
// code. Times are microseconds of the system clock.
//
//   say        print a line of its own to the shared console
//   flood      write 16384 numbered lines, about 1 MiB, to its standard output
//              ("Zentrova run <run>, line <00001>: the server's own output\r\n"),
//              in writes of about 4 KiB that each hold whole lines
//   clock      write "Zentrova run <run> clock <microseconds>\r\n", the time
//              of the write on the clock of zentrova.log
//   long       write one line of 10000 bytes and its end, the digits 0 to 9
//              over and over after "Zentrova run <run> long "
//   binary     write the 256 byte values in order, then "\r\n"
//   partial    write "Zentrova run <run> partial <microseconds>" without an
//              end, just before the run's time begins
//   crash      end through an access violation instead of an exit code
//   break-cmd  leave an unreadable cmd.exe in the current directory, so that
//              the watchdog's next launch fails
//   orphan     start a copy of itself that outlives this run by 10 s
//   handles    count the handles that the watchdog holds (under Wine this
//              leaves the run without its console: see Serve)
//   env        write the environment block this run was given, as it is, to
//              "zentrova.env.<run>"
//
// Modes serve the tests when it is started by hand:
//   Zentrova.exe linger <ms>                 sleep, then log "orphan-end"
//   Zentrova.exe inherit <program> [args]    run the program in a console
//       of its own, with an inheritable event handle whose value goes into
//       ZENTROVA_HANDLE, and end with the program's exit code
//   Zentrova.exe capture <program> [args]    run the program with its standard
//       output a message-mode pipe, in which every write arrives as one
//       message; append each message to "zentrova.writes" as
//       "<length>:<bytes>\n", and end with the program's exit code
//   Zentrova.exe task                        start the command line in
//       ZENTROVA_TASK whole, as Task Scheduler starts a task's action, and
//       end with its exit code
//   Zentrova.exe hold <file> <ms>            read the file as a reader that
//       shares no deletion (so it cannot be moved) for that long, saying
//       "held\n" once it has it open
//   Zentrova.exe terminate <pid> <code>      end that process from outside
//       with that exit code, as taskkill /f does on Windows with 1 (Wine's
//       taskkill gives 0)

#include "HandleTable.h"

#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Plan {
    unsigned long runMs = 0;
    unsigned long exitCode = 4919;
    std::string actions;
};

unsigned long long NowUs() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10;
}

void AppendLog(const std::string& line) {
    if (FILE* log = std::fopen("zentrova.log", "a")) {
        std::fputs((line + "\n").c_str(), log);
        std::fclose(log);
    }
}

int RunsSoFar() {
    int runs = 0;
    if (FILE* log = std::fopen("zentrova.log", "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, log)) {
            runs += std::strncmp(line, "start ", 6) == 0;
        }
        std::fclose(log);
    }
    return runs;
}

Plan PlanFor(int run) {
    Plan plan;
    if (FILE* file = std::fopen("zentrova.plan", "r")) {
        char line[512];
        for (int n = 0; n <= run && std::fgets(line, sizeof line, file); ++n) {
            char* rest = nullptr;
            plan.runMs = std::strtoul(line, &rest, 0);
            plan.exitCode = std::strtoul(rest, &rest, 0);
            plan.actions = rest;
        }
        std::fclose(file);
    }
    return plan;
}

bool Has(const Plan& plan, const char* action) {
    return plan.actions.find(action) != std::string::npos;
}

DWORD ParentOf(DWORD pid) {
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            parent = entry.th32ParentProcessID;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "-";
}

std::string InheritedProbe() {
    const char* value = std::getenv("ZENTROVA_HANDLE");
    if (!value) {
        return "-";
    }
    // Only an event answers ResetEvent, so a handle of another kind that
    // happens to have the same value does not count.
    const ULONG_PTR number = std::strtoull(value, nullptr, 0);
    auto* probe = reinterpret_cast<HANDLE>(number);  // NOLINT(performance-no-int-to-ptr)
    return ResetEvent(probe) ? "yes" : "no";
}

// The processes attached to this run's console, "-" for none.
std::string ConsoleProcesses() {
    std::vector<DWORD> pids(64);
    const DWORD count = GetConsoleProcessList(pids.data(), static_cast<DWORD>(pids.size()));
    std::string list;
    for (DWORD i = 0; i < count && i < pids.size(); ++i) {
        if (!list.empty()) {
            list += ',';
        }
        list += std::to_string(pids[i]);
    }
    return list.empty() ? "-" : list;
}

// What the standard input is: "disk", "char" (a console or a device), "pipe",
// or "none".
std::string InputKind() {
    switch (GetFileType(GetStdHandle(STD_INPUT_HANDLE))) {
        case FILE_TYPE_DISK:
            return "disk";
        case FILE_TYPE_CHAR:
            return "char";
        case FILE_TYPE_PIPE:
            return "pipe";
        default:
            return "none";
    }
}

// Whether a Ctrl+C typed in this console would reach this run: "on";
// "ignored" when this process has Ctrl+C switched off; "typed" when the
// console's input hands Ctrl+C on as a key (ENABLE_PROCESSED_INPUT off);
// "no-console" when the switch is off but there is no console to type in;
// "unread-0x<status>" when this process's parameters cannot be queried.
// The switch is inherited: a process started in a process group of its own
// has it set, as has every process started below one that called
// SetConsoleCtrlHandler(NULL, TRUE). Windows and Wine alike keep it in bit 0
// of the process parameters' ConsoleFlags, the ULONG that the SDK's
// declaration hides in Reserved2[1], and look at it before any handler runs.
std::string CtrlCReach() {
    constexpr ULONG IgnoreCtrlC = 1;
    PROCESS_BASIC_INFORMATION basic{};
    const NTSTATUS status = NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation,
                                                      &basic, sizeof basic, nullptr);
    if (!NT_SUCCESS(status) || !basic.PebBaseAddress) {
        char unread[40];
        std::snprintf(unread, sizeof unread, "unread-0x%08lX", static_cast<unsigned long>(status));
        return unread;
    }
    const auto consoleFlags = static_cast<ULONG>(
        reinterpret_cast<ULONG_PTR>(basic.PebBaseAddress->ProcessParameters->Reserved2[1]));
    if (consoleFlags & IgnoreCtrlC) {
        return "ignored";
    }
    HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return "no-console";
    }
    DWORD mode = 0;
    const bool typed = GetConsoleMode(input, &mode) && !(mode & ENABLE_PROCESSED_INPUT);
    CloseHandle(input);
    return typed ? "typed" : "on";
}

// A server that writes much to its standard output, as many do: whole lines,
// straight to the handle it was given, so that nothing in between adds or
// buffers a byte.
void Flood(int run) {
    constexpr int Lines = 16384;
    constexpr std::size_t Block = 4096;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string block;
    for (int line = 1; line <= Lines; ++line) {
        char text[80];
        const int length =
            std::snprintf(text, sizeof text,
                          "Zentrova run %d, line %05d: the server's own output\r\n", run, line);
        block.append(text, static_cast<std::size_t>(length));
        if (block.size() >= Block || line == Lines) {
            DWORD written = 0;
            WriteFile(output, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
            block.clear();
        }
    }
}

// One write straight to the standard output handle, as Flood writes.
void Put(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::string LongLine(int run) {
    std::string line = "Zentrova run " + std::to_string(run) + " long ";
    while (line.size() < 10000) {
        line += static_cast<char>('0' + line.size() % 10);
    }
    return line + "\r\n";
}

std::string AllBytes() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes + "\r\n";
}

std::string CurrentDirectory() {
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    return directory;
}

// Starts a program; one that is handed standard handles also inherits every
// inheritable handle of this process.
bool Start(std::wstring commandLine, PROCESS_INFORMATION& created,
           STARTUPINFOW* handles = nullptr) {
    STARTUPINFOW plain{};
    plain.cb = sizeof plain;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, handles != nullptr, 0,
                          nullptr, nullptr, handles ? handles : &plain, &created) != 0;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

void StartOrphan() {
    PROCESS_INFORMATION created{};
    if (Start(L"\"" + OwnPath() + L"\" linger 10000", created)) {
        CloseHandle(created.hProcess);
        CloseHandle(created.hThread);
    }
}

void BreakInterpreter() {
    if (FILE* bad = std::fopen("cmd.exe", "wb")) {
        std::fputs("not a program", bad);
        std::fclose(bad);
    }
}

void WriteEnvironment(int run) {
    wchar_t* block = GetEnvironmentStringsW();
    const wchar_t* end = block;
    while (*end) {
        end += std::wcslen(end) + 1;
    }
    if (FILE* file = std::fopen(("zentrova.env." + std::to_string(run)).c_str(), "wb")) {
        std::fwrite(block, sizeof *block, static_cast<std::size_t>(end - block), file);
        std::fclose(file);
    }
    FreeEnvironmentStringsW(block);
}

int Serve() {
    const int run = RunsSoFar() + 1;
    const Plan plan = PlanFor(run - 1);
    const unsigned long long started = NowUs();
    const DWORD watchdog = ParentOf(ParentOf(GetCurrentProcessId()));
    // Counting the watchdog's handles copies its console handles into this
    // process and closes the copies, which under Wine leaves this process
    // without its console. What the console tells is read after the count,
    // in this order whichever compiler built the server, so that the record
    // shows the console that the run keeps until it ends or Ctrl+C comes.
    const std::string watchdogHandles =
        Has(plan, "handles") ? std::to_string(HandlesOf(watchdog)) : "-";
    const std::string console = ConsoleProcesses();
    const std::string ctrlC = CtrlCReach();
    if (Has(plan, "env")) {
        WriteEnvironment(run);
    }
    AppendLog("start " + std::to_string(run) + " " + std::to_string(started) + " pid=" +
              std::to_string(GetCurrentProcessId()) + " watchdog=" + std::to_string(watchdog) +
              " watchdog_handles=" + watchdogHandles + " probe=" + Environment("ZENTROVA_PROBE") +
              " inherited=" + InheritedProbe() + " input=" + InputKind() + " console=" + console +
              " ctrl_c=" + ctrlC + " cwd=" + CurrentDirectory());
    if (Has(plan, "say")) {
        std::printf("Zentrova: run %d, ending in %lu ms with code %lu\n", run, plan.runMs,
                    plan.exitCode);
        std::fflush(stdout);
    }
    if (Has(plan, "flood")) {
        Flood(run);
    }
    const std::string name = "Zentrova run " + std::to_string(run);
    if (Has(plan, "clock")) {
        Put(name + " clock " + std::to_string(NowUs()) + "\r\n");
    }
    if (Has(plan, "long")) {
        Put(LongLine(run));
    }
    if (Has(plan, "binary")) {
        Put(AllBytes());
    }
    if (Has(plan, "orphan")) {
        StartOrphan();
    }
    if (Has(plan, "partial")) {
        Put(name + " partial " + std::to_string(NowUs()));
    }
    Sleep(plan.runMs);
    if (Has(plan, "break-cmd")) {
        BreakInterpreter();
    }
    AppendLog("end " + std::to_string(run) + " " + std::to_string(NowUs()) + " " +
              std::to_string(plan.exitCode));
    if (Has(plan, "crash")) {
        // NOLINTNEXTLINE(clang-analyzer-core.NullDereference): the crash is the point
        *static_cast<volatile int*>(nullptr) = 1;
    }
    ExitProcess(static_cast<UINT>(plan.exitCode));
}

int Linger(unsigned long ms) {
    Sleep(ms);
    AppendLog("orphan-end " + std::to_string(NowUs()));
    return 0;
}

int ExitCodeOf(const PROCESS_INFORMATION& created) {
    DWORD code = 0xFFFFFFFF;
    WaitForSingleObject(created.hProcess, INFINITE);
    GetExitCodeProcess(created.hProcess, &code);
    return static_cast<int>(code);
}

// The command line after the mode's word, which is the program to run.
const wchar_t* AfterMode(const wchar_t* mode) {
    const std::wstring word = L" " + std::wstring(mode) + L" ";
    return std::wcsstr(GetCommandLineW(), word.c_str()) + word.size();
}

HANDLE InheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

// Start-up with inheritable copies of `input` and `error`, and `output` as it is.
STARTUPINFOW WithStandardHandles(HANDLE input, HANDLE output, HANDLE error) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableCopy(input);
    startup.hStdOutput = output;
    startup.hStdError = InheritableCopy(error);
    return startup;
}

// Starts the rest of the command line with an inheritable event handle whose
// value is not among the first few that any process holds, in a console of
// its own: Wine gives a program started without a terminal none, and only in
// a real console does each run see which processes share it. The standard
// handles stay the ones this process was given.
int RunWithInheritableHandle(const wchar_t* program) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();

    std::vector<HANDLE> filler(256);
    for (HANDLE& h : filler) {
        h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE probe = CreateEventW(&inheritable, TRUE, TRUE, nullptr);
    SetEnvironmentVariableA("ZENTROVA_HANDLE",
                            std::to_string(reinterpret_cast<ULONG_PTR>(probe)).c_str());
    STARTUPINFOW startup = WithStandardHandles(input, InheritableCopy(output), error);
    PROCESS_INFORMATION created{};
    if (!Start(program, created, &startup)) {
        return static_cast<int>(GetLastError());
    }
    return ExitCodeOf(created);
}

int CaptureWrites(const wchar_t* program) {
    const std::wstring name =
        L"\\\\.\\pipe\\zentrova-writes-" + std::to_wstring(GetCurrentProcessId());
    HANDLE reader = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                     1 << 16, 0, nullptr);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE writer =
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
    if (reader == INVALID_HANDLE_VALUE || writer == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }

    STARTUPINFOW startup =
        WithStandardHandles(GetStdHandle(STD_INPUT_HANDLE), writer, GetStdHandle(STD_ERROR_HANDLE));
    PROCESS_INFORMATION created{};
    if (!Start(program, created, &startup)) {
        return static_cast<int>(GetLastError());
    }
    // The pipe breaks once the program and all that share its output are gone.
    CloseHandle(writer);

    // A message longer than the buffer comes in parts, the last one read
    // with success.
    std::vector<char> buffer(1 << 16);
    std::string message;
    for (;;) {
        DWORD got = 0;
        const bool whole =
            ReadFile(reader, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
        if (!whole && GetLastError() != ERROR_MORE_DATA) {
            break;
        }
        message.append(buffer.data(), got);
        if (!whole) {
            continue;
        }
        if (FILE* writes = std::fopen("zentrova.writes", "ab")) {
            std::fprintf(writes, "%lu:", static_cast<unsigned long>(message.size()));
            std::fwrite(message.data(), 1, message.size(), writes);
            std::fputc('\n', writes);
            std::fclose(writes);
        }
        message.clear();
    }
    return ExitCodeOf(created);
}

int RunTask() {
    std::wstring line(32768, L'\0');
    line.resize(
        GetEnvironmentVariableW(L"ZENTROVA_TASK", line.data(), static_cast<DWORD>(line.size())));
    PROCESS_INFORMATION created{};
    if (!Start(line, created)) {
        return static_cast<int>(GetLastError());
    }
    return ExitCodeOf(created);
}

int Hold(const wchar_t* file, unsigned long ms) {
    HANDLE held = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    Put("held\n");
    Sleep(ms);
    CloseHandle(held);
    return 0;
}

int Terminate(DWORD pid, UINT code) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!process || !TerminateProcess(process, code)) {
        return static_cast<int>(GetLastError());
    }
    CloseHandle(process);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc >= 3 && std::wcscmp(argv[1], L"linger") == 0) {
        return Linger(std::wcstoul(argv[2], nullptr, 10));
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"inherit") == 0) {
        return RunWithInheritableHandle(AfterMode(L"inherit"));
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"capture") == 0) {
        return CaptureWrites(AfterMode(L"capture"));
    }
    if (argc == 2 && std::wcscmp(argv[1], L"task") == 0) {
        return RunTask();
    }
    if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0) {
        return Hold(argv[2], std::wcstoul(argv[3], nullptr, 10));
    }
    if (argc == 4 && std::wcscmp(argv[1], L"terminate") == 0) {
        return Terminate(std::wcstoul(argv[2], nullptr, 10),
                         static_cast<UINT>(std::wcstoul(argv[3], nullptr, 10)));
    }
    return Serve();
}
