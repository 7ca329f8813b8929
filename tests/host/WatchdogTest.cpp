#include "ScriptedPlatform.h"

#include "supervision/Watchdog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char* Notice = "Something wrong ! Restart the Server ...\n";
constexpr const char* Closing = "Closing WatchDog !\n";

std::string Failure(const char* printedCode) {
    return std::string(Notice) + "Error code : " + printedCode + "\n";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a piece of the watchdog with its standard output and error sent to
// files, and keeps what each received. Standard output carries the doubles'
// events as well, in order with the watchdog's own lines.
class WatchdogRun : public testing::Test {
protected:
    void SetUp() override {
        char outName[] = "/tmp/watchdog-out-XXXXXX";
        char errName[] = "/tmp/watchdog-err-XXXXXX";
        outFd = mkstemp(outName);
        errFd = mkstemp(errName);
        ASSERT_GE(outFd, 0);
        ASSERT_GE(errFd, 0);
        outPath = outName;
        errPath = errName;
    }

    void TearDown() override {
        close(outFd);
        close(errFd);
        std::remove(outPath.c_str());
        std::remove(errPath.c_str());
    }

    // Sends descriptors 1 and 2 to the files for as long as the body runs.
    template <typename Body>
    void Redirected(Body body) {
        std::fflush(stdout);
        std::fflush(stderr);
        const int savedOut = dup(1);
        const int savedErr = dup(2);
        dup2(outFd, 1);
        dup2(errFd, 2);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(savedOut, 1);
        dup2(savedErr, 2);
        close(savedOut);
        close(savedErr);
    }

    int Run(std::vector<ScriptedLaunch> launches) {
        PlayLaunches(std::move(launches));
        int status = 1234;
        Redirected([&] { status = RunWatchdog(); });
        return status;
    }

    [[nodiscard]] std::string Out() const { return ReadFile(outPath); }
    [[nodiscard]] std::string Err() const { return ReadFile(errPath); }

    int outFd = -1;
    int errFd = -1;
    std::string outPath;
    std::string errPath;
};

TEST_F(WatchdogRun, StopCodeAtTheFirstRunClosesAfterOneLaunch) {
    EXPECT_EQ(Run({ServerEnds(4919)}), 0);
    EXPECT_EQ(Out(), std::string("[launch 1]\n[await 1]\n") + Closing);
    EXPECT_EQ(Err(), "");
}

TEST_F(WatchdogRun, FailedRunIsReportedThenPausedThenRelaunched) {
    EXPECT_EQ(Run({ServerEnds(0), ServerEnds(0x1337)}), 0);
    EXPECT_EQ(Out(), "[launch 1]\n[await 1]\n" + Failure("0") +
                         "[sleep 3000]\n[launch 2]\n[await 2]\n" + Closing);
    EXPECT_EQ(Err(), "");
}

TEST_F(WatchdogRun, OnlyTheExactStopCodeStops) {
    EXPECT_EQ(Run({ServerEnds(0), ServerEnds(4918), ServerEnds(4920), ServerEnds(0xFFFFFFFF),
                   ServerEnds(0x80000000), ServerEnds(4919 + 0x10000), ServerEnds(4919)}),
              0);
    std::string expected;
    const char* printed[] = {"0", "4918", "4920", "-1", "-2147483648", "70455"};
    for (int cycle = 1; cycle <= 6; ++cycle) {
        expected += "[launch " + std::to_string(cycle) + "]\n[await " + std::to_string(cycle) +
                    "]\n" + Failure(printed[cycle - 1]) + "[sleep 3000]\n";
    }
    expected += std::string("[launch 7]\n[await 7]\n") + Closing;
    EXPECT_EQ(Out(), expected);
}

TEST_F(WatchdogRun, RestartsWithoutLimitAndWithoutGrowthOfThePause) {
    // Far beyond any limit a watchdog could plausibly have: every cycle is
    // the first one again, and the stop code still stops at the end.
    constexpr int FailedCycles = 50000;
    std::vector<ScriptedLaunch> launches(FailedCycles, ServerEnds(1));
    launches.push_back(ServerEnds(4919));
    EXPECT_EQ(Run(std::move(launches)), 0);
    std::string expected;
    for (int cycle = 1; cycle <= FailedCycles + 1; ++cycle) {
        expected += "[launch " + std::to_string(cycle) + "]\n[await " + std::to_string(cycle) +
                    "]\n" + (cycle <= FailedCycles ? Failure("1") + "[sleep 3000]\n" : Closing);
    }
    const std::string out = Out();
    const auto at = static_cast<std::size_t>(
        std::mismatch(out.begin(), out.end(), expected.begin(), expected.end()).first -
        out.begin());
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_EQ(out.substr(at, 120), expected.substr(at, 120))
        << "the first difference, at byte " << at;
}

TEST_F(WatchdogRun, FirstLaunchFailingEndsAtOnceWithMinusOne) {
    EXPECT_EXIT(Run({LaunchFails(193)}), testing::ExitedWithCode(255), "");
    EXPECT_EQ(Out(), "[launch 1]\nCreate Process failed (193).\n");
    EXPECT_EQ(Err(), "");
}

TEST_F(WatchdogRun, LaunchFailingAfterFailedCyclesLeavesEveryLineAndExitsNormally) {
    EXPECT_EXIT(
        {
            // Only the runtime's normal exit runs this.
            std::atexit([] { (void)!write(1, "[normal exit]\n", 14); });
            Run({ServerEnds(1), ServerEnds(0xC0000005), LaunchFails(0x80000002)});
        },
        testing::ExitedWithCode(255), "");
    EXPECT_EQ(Out(), "[launch 1]\n[await 1]\n" + Failure("1") + "[sleep 3000]\n" +
                         "[launch 2]\n[await 2]\n" + Failure("-1073741819") +
                         "[sleep 3000]\n[launch 3]\nCreate Process failed (-2147483646).\n" +
                         "[normal exit]\n");
    EXPECT_EQ(Err(), "");
}

TEST_F(WatchdogRun, NoLineWaitsInABufferForAnExit) {
    // The third launch kills the process without flushing anything; every
    // line written before it must already be in the file.
    EXPECT_EXIT(Run({ServerEnds(2), ServerEnds(3)}), testing::ExitedWithCode(99), "");
    EXPECT_EQ(Out(), "[launch 1]\n[await 1]\n" + Failure("2") + "[sleep 3000]\n" +
                         "[launch 2]\n[await 2]\n" + Failure("3") + "[sleep 3000]\n" +
                         "[launch beyond the script]\n");
}

}  // namespace
