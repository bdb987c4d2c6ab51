// The default calibration file: the shipped file, values that cannot be used, short and garbled
// files, each reported with the value and what was kept.
#include "calibration/DefaultCalibration.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {
const char kShipped[] = "ARV300 default calibration, 2x2 binning (128 bands, 400-1000 nm)\n"
                        "400.000000 2.300000 0.000950\n"
                        "2 1.000000 0.000000 0.000000 0.000000 0.000000\n"
                        "520 696.000000 88.000000 4.000000 0.000000 0.000000\n"
                        "128 0.500000 0.500000 0.000000 0.000000 0.000000\n";

struct Read {
    DefaultCalibration cal;
    std::string problems;
    bool opened = false;
};

Read ReadText(const std::string& text, const DefaultCalibration& start = {}) {
    TempDir dir;
    dir.Write("DefCalLite2x2.txt", text);
    Read r;
    r.cal = start;
    int error = 0;
    r.opened = ReadDefaultCalibrationFile(dir.File("DefCalLite2x2.txt"), r.cal, &error, &r.problems);
    return r;
}
} // namespace

TEST(DefaultCalibration, TheShippedFileReadsWithoutProblems) {
    const Read r = ReadText(kShipped);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.problems, "");
    EXPECT_EQ(r.cal.title, "ARV300 default calibration, 2x2 binning (128 bands, 400-1000 nm)");
    EXPECT_FLOAT_EQ(r.cal.coeffs[0], 400.0f);
    EXPECT_FLOAT_EQ(r.cal.coeffs[1], 2.3f);
    EXPECT_FLOAT_EQ(r.cal.coeffs[2], 0.00095f);
    EXPECT_EQ(r.cal.rows[1].column1, 520);
    EXPECT_FLOAT_EQ(r.cal.rows[1].columns[1], 88.0f);
    EXPECT_EQ(r.cal.rows[2].column1, 128);
    EXPECT_FLOAT_EQ(r.cal.rows[2].columns[1], 0.5f);
}

TEST(DefaultCalibration, CoefficientsThatGiveNoWavelengthAreRefusedTogether) {
    DefaultCalibration earlier;
    earlier.coeffs[0] = 500.0f;
    earlier.coeffs[1] = 1.0f;
    // c1 = -4: in the band lists band 51 would be at 400 - 408 + 2.47 nm.
    Read r = ReadText("title\n400 -4 0.00095\n2 1 0 0 0 0\n520 696 88 4 0 0\n128 0.5 0.5 0 0 0\n", earlier);
    EXPECT_EQ(r.cal.coeffs[0], 500.0f);
    EXPECT_EQ(r.cal.coeffs[1], 1.0f);
    EXPECT_EQ(r.cal.coeffs[2], 0.0f);
    EXPECT_EQ(r.cal.rows[1].column1, 520) << "the rows are still read";
    EXPECT_EQ(r.problems,
              "DefCalLite2x2.txt: the coefficients 400 -4 0.00095 give band 51 no wavelength above 0 nm; "
              "500 1 0 kept");
    // Not finite, or beyond a single-precision float: the earlier polynomial holds, all of it.
    r = ReadText("title\n400 2.3 1e39\n2 1 0 0 0 0\n520 696 88 4 0 0\n128 0.5 0.5 0 0 0\n", earlier);
    EXPECT_EQ(r.cal.coeffs[0], 500.0f);
    EXPECT_EQ(r.cal.coeffs[2], 0.0f);
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt: coefficient c2 1e39 is not a finite single-precision number; "
                          "the coefficients 500 1 0 "
                          "kept");
    r = ReadText("title\nnan 2.3 0\n2 1 0 0 0 0\n520 696 88 4 0 0\n128 0.5 0.5 0 0 0\n");
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt: coefficient c0 nan is not a finite single-precision number; "
                          "the coefficients 0 0 0 kept");
    EXPECT_EQ(r.cal.rows[2].column1, 128);
}

TEST(DefaultCalibration, RowValuesAreCheckedEachOnItsOwn) {
    const Read r = ReadText("title\n400 2.3 0.00095\n"
                            "99999999999 1 0 0 0 0\n"
                            "520 696 -inf 4 0 0\n"
                            "128 0.5 0.5 0 0 3e38\n");
    EXPECT_EQ(r.cal.rows[0].column1, 0);
    EXPECT_FLOAT_EQ(r.cal.rows[0].columns[0], 1.0f);
    EXPECT_FLOAT_EQ(r.cal.rows[1].columns[0], 696.0f);
    EXPECT_EQ(r.cal.rows[1].columns[1], 0.0f);
    EXPECT_FLOAT_EQ(r.cal.rows[1].columns[2], 4.0f);
    EXPECT_FLOAT_EQ(r.cal.rows[2].columns[4], 3e38f);
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt:\n"
                          "row 1 column 1 99999999999 does not fit in 32 bits; 0 kept\n"
                          "row 2 column 3 -inf is not a finite single-precision number; 0 kept");
}

TEST(DefaultCalibration, GarbledAndShortFilesKeepWhatTheyCannotGive) {
    // A word that is not a number stops the reading: nothing after it is guessed.
    Read r = ReadText("title\n400 2.3 0.00095\n2 1.0x 5 5 5 5\n520 696 88 4 0 0\n");
    EXPECT_EQ(r.cal.rows[0].column1, 2);
    EXPECT_EQ(r.cal.rows[0].columns[0], 0.0f);
    EXPECT_EQ(r.cal.rows[1].column1, 0);
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt: row 1 column 2: \"1.0x\" is not a number; it and the values "
                          "after it are not read");
    // A fractional number where the integer stands.
    r = ReadText("title\n400 2.3 0.00095\n2.5 1 0 0 0 0\n");
    EXPECT_EQ(r.cal.rows[0].column1, 0);
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt: row 1 column 1: \"2.5\" is not a whole number; it and the "
                          "values after it are not read");
    // Short: the coefficients only.
    r = ReadText("title\n400 2.3 0.00095\n");
    EXPECT_FLOAT_EQ(r.cal.coeffs[1], 2.3f);
    EXPECT_EQ(
        r.problems,
        "DefCalLite2x2.txt: the file ends after 3 of its 21 numbers; the values after them keep theirs");
    // Two coefficients of three: the earlier polynomial holds.
    r = ReadText("title\n400 2.3\n");
    EXPECT_EQ(r.cal.coeffs[0], 0.0f);
    EXPECT_EQ(r.problems,
              "DefCalLite2x2.txt: the file ends after 2 of its 21 numbers; the coefficients 0 0 0 and the "
              "rows keep their values");
    // A title without a line feed, and a file of nothing.
    r = ReadText("only a title");
    EXPECT_EQ(r.cal.title, "only a title");
    EXPECT_EQ(r.problems,
              "DefCalLite2x2.txt: the file ends after 0 of its 21 numbers; the coefficients 0 0 0 and the "
              "rows keep their values");
    // A missing file is the caller's message ("Unable to open ... error code: 2").
    DefaultCalibration cal;
    int error = 0;
    std::string problems;
    EXPECT_FALSE(ReadDefaultCalibrationFile("/nonexistent-folder/DefCalLite2x2.txt", cal, &error, &problems));
    EXPECT_EQ(error, 2);
    EXPECT_EQ(problems, "");
}

TEST(DefaultCalibration, NumbersAreReadWithAPointWhateverTheLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr) ? std::setlocale(LC_NUMERIC, nullptr) : "C";
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = name;
            break;
        }
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    const Read r = ReadText(kShipped);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_FLOAT_EQ(r.cal.coeffs[1], 2.3f);
    EXPECT_EQ(r.problems, "");
}

TEST(DefaultCalibration, AWordTooLongToBeANumberStopsTheReading) {
    // 70 characters: read whole it would be 5; cut short it would read as 0.
    const std::string longZeroes = std::string(69, '0') + "5";
    const Read r = ReadText("title\n400 2.3 0.00095\n" + longZeroes + " 1 0 0 0 0\n");
    EXPECT_EQ(r.cal.rows[0].column1, 0);
    EXPECT_EQ(r.problems, "DefCalLite2x2.txt: row 1 column 1: \"" + std::string(40, '0') +
                              "...\" is not a whole number; it and the values after it are not read");
}
