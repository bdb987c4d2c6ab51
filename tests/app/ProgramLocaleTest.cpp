// The program started under a user's locale with a decimal comma still writes its files with a
// decimal point (ENVI headers, summaries), as every reader of them expects; so does a conversion.
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
    // The frame rate has a decimal point; every comma after it separates the summary's fields.
    const size_t rate = r.out.find("frame rate =  ");
    ASSERT_NE(rate, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(rate, r.out.find(',', rate) - rate).find('.'), std::string::npos) << r.out;
    for (size_t c = r.out.find(',', rate); c != std::string::npos; c = r.out.find(',', c + 1))
        EXPECT_EQ(r.out.substr(c, 2), ", ") << r.out;
    // The line record beside the cube as well.
    const std::string record = dir.Read("scan.lines.csv");
    EXPECT_NE(record.find("\n# integration_ms: 10.000\n"), std::string::npos) << record.substr(0, 400);
    EXPECT_NE(record.find("\n0,"), std::string::npos);
    // Converting the cube under the same locale: its header keeps the decimal point too.
    const ProgramRunResult c =
        RunProgram(ARV300_EXECUTABLE, {"convert", "scan.cube", "--format", "bsq", "--out", "conv"}, o);
    ASSERT_EQ(c.Describe(), "exit 0") << c.err;
    const std::string converted = dir.Read("conv.hdr");
    EXPECT_NE(converted.find("wavelength = {\n400.000000, 402.300950, "), std::string::npos)
        << converted.substr(0, 400);
    EXPECT_EQ(converted.find(','), converted.find(", ")) << "no decimal comma";
}
