// Reads the version information of watchdog.exe and run-watchdog.exe back
// through the platform's version API, as Explorer does for Properties >
// Details, and compares it with the version the build was made with.
// WATCHDOG_EXE and RUNNER_EXE name the programs.

#include "version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring Widened(const char* text) {
    return {text, text + std::strlen(text)};
}

// A program by the variable that names it, and its own name.
struct Program {
    const wchar_t* variable;
    const wchar_t* name;
};

class VersionInfo : public testing::TestWithParam<Program> {
protected:
    void SetUp() override {
        const wchar_t* named = _wgetenv(GetParam().variable);
        ASSERT_NE(named, nullptr) << "no variable names the exe";
        const std::wstring exe = named;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        ASSERT_GT(size, 0U) << "no version information in the exe, error " << GetLastError();
        block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    }

    std::wstring String(const wchar_t* name) {
        void* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) {
            return L"(missing)";
        }
        return static_cast<const wchar_t*>(value);
    }

    std::vector<unsigned char> block;
};

TEST_P(VersionInfo, NumbersAreTheBuildsVersion) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDU);
    const DWORD high = MAKELONG(WATCHDOG_VERSION_MINOR, WATCHDOG_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, WATCHDOG_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_P(VersionInfo, DetailsNameTheProgramAndItsVersion) {
    const std::wstring version = Widened(WATCHDOG_VERSION_TEXT);
    EXPECT_EQ(String(L"FileVersion"), version);
    EXPECT_EQ(String(L"ProductVersion"), version);
    EXPECT_EQ(String(L"OriginalFilename"), std::wstring(GetParam().name) + L".exe");
    EXPECT_EQ(String(L"InternalName"), GetParam().name);
    EXPECT_EQ(String(L"ProductName"), L"watchdog");
    EXPECT_EQ(String(L"LegalCopyright"), Widened(WATCHDOG_COPYRIGHT));
    EXPECT_NE(String(L"FileDescription"), L"(missing)");
}

INSTANTIATE_TEST_SUITE_P(Shipped, VersionInfo,
                         testing::Values(Program{L"WATCHDOG_EXE", L"watchdog"},
                                         Program{L"RUNNER_EXE", L"run-watchdog"}));

}  // namespace
