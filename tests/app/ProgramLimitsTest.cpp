// The program itself, started as an operator's shell starts it, under a file-size limit: a save
// beyond the limit fails with the program's message and exit code, and nothing half-written stays.
#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {
std::vector<std::string> Entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ProgramRunOptions In(const TempDir& dir, uint64_t fileSizeLimit) {
    ProgramRunOptions o;
    o.workDir = dir.Path().string();
    o.fileSizeLimit = fileSizeLimit;
    // The program's own leaks are checked by the in-process tests; Qt's are not ours.
    o.env = {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"};
    return o;
}
} // namespace

TEST(FileSizeLimit, AcquireReportsACubeBeyondTheLimitAndLeavesNothing) {
    TempDir dir(false, true);
    const ProgramRunResult r = RunProgram(
        ARV300_EXECUTABLE,
        {"acquire", "--simulate", "--sim-clock-scale", "5", "--quiet", "--format", "bil", "--out", "scan"},
        In(dir, 1 << 20));
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.Describe(), "exit 6") << r.err;
    EXPECT_NE(r.err.find("unable to save cube"), std::string::npos) << r.err;
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"Settings"});
}

TEST(FileSizeLimit, AcquireReportsADarkStackBeyondTheLimitAndLeavesNothing) {
    TempDir dir(false, true);
    const ProgramRunResult r = RunProgram(
        ARV300_EXECUTABLE,
        {"acquire", "--simulate", "--sim-clock-scale", "5", "--quiet", "--dark", "--no-cube", "--out", "d"},
        In(dir, 100000));
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.Describe(), "exit 6") << r.err;
    EXPECT_NE(r.err.find("unable to save dark frame"), std::string::npos) << r.err;
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"Settings"});
    // The same command without the limit writes the 3 493 888-byte dark file.
    const ProgramRunResult ok = RunProgram(
        ARV300_EXECUTABLE,
        {"acquire", "--simulate", "--sim-clock-scale", "5", "--quiet", "--dark", "--no-cube", "--out", "d"},
        In(dir, 0));
    EXPECT_EQ(ok.Describe(), "exit 0") << ok.err;
    EXPECT_EQ(std::filesystem::file_size(dir.Path() / "d_dark.drk"), 3493888u);
}

TEST(FileSizeLimit, TheWindowSurvivesAWriteBeyondTheLimit) {
    TempDir dir(false, true);
    // The window's picture is far larger than 4 kB as a PNG: its write fails and the program ends
    // normally instead of dying of the signal.
    const ProgramRunResult r = RunProgram(
        ARV300_EXECUTABLE, {"--simulate", "--non-interactive", "--screenshot", "shot.png"}, In(dir, 4096));
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.Describe(), "exit 0") << r.err;
    EXPECT_NE(r.err.find("cannot write shot.png"), std::string::npos) << r.err;
    const ProgramRunResult ok = RunProgram(
        ARV300_EXECUTABLE, {"--simulate", "--non-interactive", "--screenshot", "shot.png"}, In(dir, 0));
    EXPECT_EQ(ok.Describe(), "exit 0") << ok.err;
    EXPECT_GT(std::filesystem::file_size(dir.Path() / "shot.png"), 4096u);
}
