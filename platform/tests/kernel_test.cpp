// Tests of the kernel services: tick counts, sleeping, module and full path names.
#include "platform/hresult.h"
#include "platform/kernel.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

std::string realPath(const char* path) {
    char* resolved = realpath(path, nullptr);
    std::string out = resolved != nullptr ? resolved : "";
    std::free(resolved);
    return out;
}

// Runs the test body in a scratch working directory and restores the old one.
class InTempDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(oldCwd_, sizeof oldCwd_), nullptr);
        char tmpl[] = "/tmp/kernel_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = realPath(tmpl);
        ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
        ASSERT_EQ(chdir((dir_ + "/sub").c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(oldCwd_), 0);
        rmdir((dir_ + "/sub").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_; // the working directory is dir_ + "/sub"

private:
    char oldCwd_[PATH_MAX] = {};
};

} // namespace

TEST(KernelTickCount, NeverGoesBackAcrossASleep) {
    const DWORD before = GetTickCount();
    const ULONGLONG before64 = GetTickCount64();
    Sleep(20);
    const DWORD after = GetTickCount();
    const ULONGLONG after64 = GetTickCount64();
    // Unsigned difference: correct across the 49.7-day wrap, as callers compute it.
    EXPECT_LT(static_cast<DWORD>(after - before), 0x80000000u);
    EXPECT_GE(after64, before64);
    // The 32-bit count is the low half of the 64-bit one.
    EXPECT_LE(static_cast<DWORD>(GetTickCount64() - GetTickCount()), 1u);
}

TEST(KernelTickCount, SleepZeroReturns) {
    const ULONGLONG before = GetTickCount64();
    Sleep(0);
    EXPECT_GE(GetTickCount64(), before);
}

TEST(KernelModuleFileName, NullModuleIsThisTestBinary) {
    char path[PATH_MAX];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, std::strlen(path));
    EXPECT_EQ(path[0], '/');
    EXPECT_EQ(std::string(path), realPath(program_invocation_name));
    EXPECT_EQ(std::string(path).substr(std::string(path).rfind('/') + 1), "kernel_test");
}

TEST(KernelModuleFileName, ShortBufferIsCutTerminatedAndReportsItsSize) {
    char full[PATH_MAX];
    const DWORD n = GetModuleFileNameA(nullptr, full, sizeof full);
    ASSERT_GT(n, 4u);

    char cut[8];
    std::memset(cut, 'x', sizeof cut);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut, sizeof cut), sizeof cut);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cut[7], '\0');
    EXPECT_EQ(std::string(cut), std::string(full, 7));

    // Exactly the length: no room for the NUL, so still cut.
    std::string exact(n, 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), n), n);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::strlen(exact.c_str()), n - 1);

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(KernelModuleFileName, SharedObjectByDlopenHandleOrBaseAddress) {
    void* handle = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(handle, "malloc"), &info), 0);
    const std::string expected = realPath(info.dli_fname);
    ASSERT_FALSE(expected.empty());

    char path[PATH_MAX];
    EXPECT_EQ(GetModuleFileNameA(static_cast<HMODULE>(handle), path, sizeof path), expected.size());
    EXPECT_EQ(std::string(path), expected);
    EXPECT_EQ(GetModuleFileNameA(static_cast<HMODULE>(info.dli_fbase), path, sizeof path),
              expected.size());
    EXPECT_EQ(std::string(path), expected);
    dlclose(handle);
}

TEST(KernelModuleFileName, UnknownHandleFails) {
    int onTheStack = 0;
    auto* heap = new int(0);
    char path[PATH_MAX];
    for (void* bogus : {static_cast<void*>(&onTheStack), static_cast<void*>(heap)}) {
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(static_cast<HMODULE>(bogus), path, sizeof path), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    delete heap;
    // An address inside a module that is not its start is no handle either.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetTickCount), &info), 0);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(static_cast<char*>(info.dli_fbase) + 1),
                                 path, sizeof path),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

using KernelFullPathName = InTempDirectory;

TEST_F(KernelFullPathName, RelativeNameJoinsTheWorkingDirectory) {
    char buffer[PATH_MAX];
    char* filePart = nullptr;
    const DWORD n = GetFullPathNameA("Tarnick.ini", sizeof buffer, buffer, &filePart);
    const std::string expected = dir_ + "/sub/Tarnick.ini";
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    ASSERT_NE(filePart, nullptr);
    EXPECT_STREQ(filePart, "Tarnick.ini");
    // The settings path is made by cutting at the file part: the directory with its separator.
    *filePart = '\0';
    EXPECT_EQ(std::string(buffer), dir_ + "/sub/");
}

TEST_F(KernelFullPathName, DotsFoldLexically) {
    char buffer[PATH_MAX];
    char* filePart = nullptr;
    EXPECT_EQ(GetFullPathNameA("../a/./b/../c.ini", sizeof buffer, buffer, &filePart),
              (dir_ + "/a/c.ini").size());
    EXPECT_EQ(std::string(buffer), dir_ + "/a/c.ini");
    EXPECT_STREQ(filePart, "c.ini");

    EXPECT_GT(GetFullPathNameA("..", sizeof buffer, buffer, &filePart), 0u);
    EXPECT_EQ(std::string(buffer), dir_);
    EXPECT_EQ(std::string(filePart), dir_.substr(dir_.rfind('/') + 1));

    EXPECT_GT(GetFullPathNameA("/usr//lib/../../../etc/./passwd", sizeof buffer, buffer, &filePart),
              0u);
    EXPECT_STREQ(buffer, "/etc/passwd");
    EXPECT_STREQ(filePart, "passwd");

    EXPECT_EQ(GetFullPathNameA("/..", sizeof buffer, buffer, &filePart), 1u);
    EXPECT_STREQ(buffer, "/");
    EXPECT_EQ(filePart, nullptr);
}

TEST_F(KernelFullPathName, TrailingSeparatorIsKeptAndHasNoFilePart) {
    char buffer[PATH_MAX];
    char* filePart = buffer;
    EXPECT_GT(GetFullPathNameA("logs/", sizeof buffer, buffer, &filePart), 0u);
    EXPECT_EQ(std::string(buffer), dir_ + "/sub/logs/");
    EXPECT_EQ(filePart, nullptr);
    // Not resolved against the file system: nothing here exists.
    EXPECT_GT(GetFullPathNameA("no/such//dir///", sizeof buffer, buffer, nullptr), 0u);
    EXPECT_EQ(std::string(buffer), dir_ + "/sub/no/such/dir/");
}

TEST_F(KernelFullPathName, TooSmallBufferReturnsTheSizeNeededAndLeavesItAlone) {
    const std::string expected = dir_ + "/sub/x.ini";
    // Size query.
    EXPECT_EQ(GetFullPathNameA("x.ini", 0, nullptr, nullptr), expected.size() + 1);
    std::string small(expected.size(), '#'); // one short: no room for the NUL
    char* filePart = small.data();
    EXPECT_EQ(GetFullPathNameA("x.ini", static_cast<DWORD>(small.size()), small.data(), &filePart),
              expected.size() + 1);
    EXPECT_EQ(small, std::string(expected.size(), '#'));
    EXPECT_EQ(filePart, nullptr);
    // Exactly enough.
    std::string exact(expected.size() + 1, '#');
    EXPECT_EQ(GetFullPathNameA("x.ini", static_cast<DWORD>(exact.size()), exact.data(), nullptr),
              expected.size());
    EXPECT_STREQ(exact.c_str(), expected.c_str());
}

TEST_F(KernelFullPathName, EmptyOrNullNameFails) {
    char buffer[16];
    SetLastError(0);
    EXPECT_EQ(GetFullPathNameA("", sizeof buffer, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(GetFullPathNameA(nullptr, sizeof buffer, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelFullPathName, BuildsTheSettingsPathFromTheModulePath) {
    // How the program finds its settings file: module path, full path, cut at the file part.
    char module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, module, MAX_PATH), 0u);
    char full[MAX_PATH];
    char* filePart = nullptr;
    ASSERT_GT(GetFullPathNameA(module, MAX_PATH, full, &filePart), 0u);
    ASSERT_NE(filePart, nullptr);
    EXPECT_STREQ(filePart, "kernel_test");
    *filePart = '\0';
    const std::string self(module);
    EXPECT_EQ(std::string(full), self.substr(0, self.rfind('/') + 1));
}
