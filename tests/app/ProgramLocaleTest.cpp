// The program started under a user's locale with a decimal comma still writes its files with a
// decimal point (ENVI headers, summaries), as every reader of them expects.
#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

TEST(ProgramLocale, FilesAndSummariesKeepTheDecimalPointUnderACommaLocale) {
    std::string comma;
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_ALL, name)) {
            comma = name;
            break;
        }
    std::setlocale(LC_ALL, saved.c_str());
    if (comma.empty())
        GTEST_SKIP() << "no locale with a decimal comma installed";
    TempDir dir(false, true);
    ProgramRunOptions o;
    o.workDir = dir.Path().string();
    o.env = {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0", "LC_ALL=" + comma};
    const ProgramRunResult r = RunProgram(
        ARV300_EXECUTABLE,
        {"acquire", "--simulate", "--sim-clock-scale", "5", "--quiet", "--format", "bil", "--out", "scan"},
        o);
    ASSERT_EQ(r.Describe(), "exit 0") << r.err;
    const std::string header = dir.Read("scan.hdr");
    EXPECT_NE(header.find("wavelength = {\n400.000000, 402.300950, 404.603800, "), std::string::npos)
        << header.substr(0, 400);
    EXPECT_EQ(header.find(','), header.find(", ")) << "no decimal comma";
    EXPECT_NE(r.out.find("frame rate =  "), std::string::npos);
    EXPECT_EQ(r.out.find(",", r.out.find("frame rate")), std::string::npos) << r.out;
}
