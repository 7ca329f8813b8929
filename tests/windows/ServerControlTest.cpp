#include "../server/HandleTable.h"

#include "supervision/ServerControl.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Directory(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L"\\/"));
}

void WriteFile(const std::wstring& path, const std::string& text) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fputs(text.c_str(), file);
    std::fclose(file);
}

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

long OwnHandles() {
    return HandlesOf(GetCurrentProcessId());
}

// Each test runs in a scratch directory of its own, which the launched
// interpreter takes as its current directory.
class ServerControl : public testing::Test {
protected:
    void SetUp() override {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        programDirectory = Directory(self);
        GetCurrentDirectoryW(MAX_PATH, previous);

        // Under the current directory, which CTest makes the test's folder of
        // the build; anything a launch leaves running is found by its Wine
        // prefix, and ended, after the suite (wine.leftovers).
        scratch = std::wstring(previous) + L"\\server-control-" +
                  std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(scratch.c_str()));
    }

    void TearDown() override {
        SetCurrentDirectoryW(previous);
        for (const wchar_t* name :
             {L"Zentrova.exe", L"zentrova.plan", L"zentrova.log", L"cmd.exe"}) {
            DeleteFileW((scratch + L"\\" + name).c_str());
        }
        RemoveDirectoryW(scratch.c_str());
    }

    void InstallServer(const std::string& plan) {
        ASSERT_TRUE(CopyFileW((programDirectory + L"\\Zentrova.exe").c_str(),
                              (scratch + L"\\Zentrova.exe").c_str(), FALSE));
        WriteFile(scratch + L"\\zentrova.plan", plan);
    }

    std::wstring programDirectory;
    std::wstring scratch;
    wchar_t previous[MAX_PATH] = L"";
};

TEST_F(ServerControl, AwaitReturnsTheServersFullCodeAndClosesBothHandles) {
    InstallServer("0 0x80000001\n0 4919\n");
    const LaunchResult launch = LaunchServer();
    ASSERT_TRUE(launch.ok) << launch.error;
    EXPECT_TRUE(IsOpen(launch.process.hProcess));
    EXPECT_TRUE(IsOpen(launch.process.hThread));

    EXPECT_EQ(AwaitServerExit(launch.process), 0x80000001U);
    EXPECT_FALSE(IsOpen(launch.process.hProcess));
    EXPECT_FALSE(IsOpen(launch.process.hThread));

    const LaunchResult second = LaunchServer();
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(AwaitServerExit(second.process), 4919U);
}

TEST_F(ServerControl, CyclesLeaveNoHandleBehind) {
    InstallServer("0 1\n");
    const LaunchResult warmUp = LaunchServer();
    ASSERT_TRUE(warmUp.ok);
    AwaitServerExit(warmUp.process);

    const long before = OwnHandles();
    ASSERT_GT(before, 0);
    for (int cycle = 0; cycle < 5; ++cycle) {
        const LaunchResult launch = LaunchServer();
        ASSERT_TRUE(launch.ok);
        EXPECT_EQ(OwnHandles(), before + 2) << "a launch holds exactly its two handles";
        EXPECT_EQ(AwaitServerExit(launch.process), 1U);
        EXPECT_EQ(OwnHandles(), before);
    }
}

TEST_F(ServerControl, MissingServerStillLaunchesAndReportsTheInterpretersCode) {
    const LaunchResult launch = LaunchServer();
    ASSERT_TRUE(launch.ok) << launch.error;
    EXPECT_EQ(AwaitServerExit(launch.process), 9009U);
}

TEST_F(ServerControl, UnstartableInterpreterFailsWithTheSystemErrorAndHoldsNothing) {
    WriteFile(scratch + L"\\cmd.exe", "not a program");
    const long before = OwnHandles();
    SetLastError(0);
    const LaunchResult launch = LaunchServer();
    EXPECT_FALSE(launch.ok);
    EXPECT_EQ(launch.error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(OwnHandles(), before);
}

TEST_F(ServerControl, UnreadableExitCodeReadsAllOnesAndBothHandlesAreStillClosed) {
    // A signalled event ends the wait at once, and no exit code can be read
    // from it.
    HANDLE notAProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE notAThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(AwaitServerExit({notAProcess, notAThread}), 0xFFFFFFFFU);
    EXPECT_FALSE(IsOpen(notAProcess));
    EXPECT_FALSE(IsOpen(notAThread));
}

}  // namespace
