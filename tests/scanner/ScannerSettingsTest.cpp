#include "scanner/ScannerSettings.h"
#include "support/DiskFaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ScannerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("arv_scanner_settings_" + std::to_string(::getpid()) + "_" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
        m_file = (m_dir / "ARV300_Scanner_Settings.txt").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void WriteFile(const std::string& text) const { std::ofstream(m_file, std::ios::binary) << text; }
    std::string ReadFile() const {
        std::ifstream in(m_file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path m_dir;
    std::string m_file;
};

const char kDefaultsText[] = "Scanner_Velocity 80\n"
                             "Home_Offset 0\n"
                             "Scanner_Delay 10\n"
                             "Scanner_CommPort COM1\n"
                             "Scanner_Baud 115200\n"
                             "Scanner_Center_Position -165000\n"
                             "Scanner_Step_size 12.000000\n"
                             "Scanner_Absolute_Position 1\n"
                             "Scanner_Check_position 1\n"
                             "Scanner_Enable 1\n"
                             "Scanner_Corridor 10000\n"
                             "Scanner_home_position 0\n"
                             "Focus_home_position 0\n";

const char kChangedText[] = "Scanner_Velocity 77\n"
                            "Home_Offset 5\n"
                            "Scanner_Delay 20\n"
                            "Scanner_CommPort COM3\n"
                            "Scanner_Baud 57600\n"
                            "Scanner_Center_Position -200000\n"
                            "Scanner_Step_size 12.500000\n"
                            "Scanner_Absolute_Position 0\n"
                            "Scanner_Check_position 0\n"
                            "Scanner_Enable 0\n"
                            "Scanner_Corridor 2500\n"
                            "Scanner_home_position -300000\n"
                            "Focus_home_position 4000\n";

ScannerSettingsValues Changed() {
    ScannerSettingsValues v;
    v.m_velocity = 77;
    v.m_homeOffset = 5;
    v.m_delayMs = 20;
    v.m_comPort = "COM3";
    v.m_baudRate = "57600";
    v.m_centerPosition = -200000;
    v.m_stepSize = 12.5;
    v.m_absolutePos = 0;
    v.m_relativePos = 1;
    v.m_checkPosition = 0;
    v.m_scannerEnabled = 0;
    v.m_corridor = 2500;
    v.m_scanStartPosition = -300000;
    v.m_focusPosition = 4000;
    return v;
}

void ExpectDefaults(const ScannerSettingsValues& v) {
    EXPECT_EQ(v.m_comPort, "COM1");
    EXPECT_EQ(v.m_baudRate, "115200");
    EXPECT_EQ(v.m_scanStartPosition, 0);
    EXPECT_EQ(v.m_centerPosition, -165000);
    EXPECT_EQ(v.m_focusPosition, 0);
    EXPECT_EQ(v.m_stepSize, 12.0);
    EXPECT_EQ(v.m_corridor, 10000);
    EXPECT_EQ(v.m_scannerEnabled, 1);
    EXPECT_EQ(v.m_checkPosition, 1);
    EXPECT_EQ(v.m_relativePos, 0);
    EXPECT_EQ(v.m_absolutePos, 1);
    EXPECT_EQ(v.m_delayMs, 10);
    EXPECT_EQ(v.m_velocity, 80);
    EXPECT_EQ(v.m_homeOffset, 0);
}

} // namespace

TEST_F(ScannerSettingsTest, DefaultsAreWrittenByteExact) {
    ScannerSettingsValues defaults;
    ExpectDefaults(defaults);
    std::string message;
    ASSERT_TRUE(SaveScannerSettings(m_file, defaults, &message));
    EXPECT_EQ(ReadFile(), kDefaultsText);
    EXPECT_TRUE(message.empty());
}

TEST_F(ScannerSettingsTest, ChangedValuesAreWrittenAndReadBack) {
    ASSERT_TRUE(SaveScannerSettings(m_file, Changed(), nullptr));
    EXPECT_EQ(ReadFile(), kChangedText);

    ScannerSettingsValues read;
    std::string message;
    ASSERT_TRUE(LoadScannerSettings(m_file, read, &message));
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(read.m_velocity, 80); // the velocity in the file is not taken back
    EXPECT_EQ(read.m_homeOffset, 5);
    EXPECT_EQ(read.m_delayMs, 20);
    EXPECT_EQ(read.m_comPort, "COM3");
    EXPECT_EQ(read.m_baudRate, "57600");
    EXPECT_EQ(read.m_centerPosition, -200000);
    EXPECT_EQ(read.m_stepSize, 12.5);
    EXPECT_EQ(read.m_absolutePos, 0);
    EXPECT_EQ(read.m_relativePos, 1);
    EXPECT_EQ(read.m_checkPosition, 0);
    EXPECT_EQ(read.m_scannerEnabled, 0);
    EXPECT_EQ(read.m_corridor, 2500);
    EXPECT_EQ(read.m_scanStartPosition, -300000);
    EXPECT_EQ(read.m_focusPosition, 4000);

    // Saving what was read gives the same file but for the velocity, which is the current one.
    ASSERT_TRUE(SaveScannerSettings(m_file, read, nullptr));
    std::string expected = kChangedText;
    expected.replace(0, std::string("Scanner_Velocity 77").size(), "Scanner_Velocity 80");
    EXPECT_EQ(ReadFile(), expected);
}

TEST_F(ScannerSettingsTest, ValuesAreTakenByPositionNotByKey) {
    WriteFile("Focus_home_position 1\n"
              "Scanner_Corridor 2\n"
              "x 3\n"
              "Scanner_Baud 18200\n" // line 4: the port name
              "Scanner_CommPort 18200\n"
              "Scanner_Step_size -123456\n"
              "Scanner_Center_Position 7.25\n"
              "Scanner_Enable 1\n"
              "a 4\n"
              "b 5\n"
              "c 6\n"
              "d 7\n"
              "e 8\n");
    ScannerSettingsValues v;
    ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr));
    EXPECT_EQ(v.m_homeOffset, 2);
    EXPECT_EQ(v.m_delayMs, 3);
    EXPECT_EQ(v.m_comPort, "18200");
    EXPECT_EQ(v.m_baudRate, "18200"); // read back as given, even though no link accepts it
    EXPECT_EQ(v.m_centerPosition, -123456);
    EXPECT_EQ(v.m_stepSize, 7.25);
    EXPECT_EQ(v.m_absolutePos, 1);
    EXPECT_EQ(v.m_relativePos, 0);
    EXPECT_EQ(v.m_checkPosition, 4);
    EXPECT_EQ(v.m_scannerEnabled, 5);
    EXPECT_EQ(v.m_corridor, 6);
    EXPECT_EQ(v.m_scanStartPosition, 7);
    EXPECT_EQ(v.m_focusPosition, 8);
}

TEST_F(ScannerSettingsTest, ShortAndEmptyFilesKeepTheRest) {
    WriteFile("Scanner_Velocity 1\n"
              "Home_Offset 2\n"
              "Scanner_Delay 3\n"
              "Scanner_CommPort COM4"); // no final line feed
    ScannerSettingsValues v;
    ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr));
    EXPECT_EQ(v.m_homeOffset, 2);
    EXPECT_EQ(v.m_delayMs, 3);
    EXPECT_EQ(v.m_comPort, "COM4");
    v.m_homeOffset = 0;
    v.m_delayMs = 10;
    v.m_comPort = "COM1";
    ExpectDefaults(v);

    WriteFile("");
    ScannerSettingsValues empty;
    ASSERT_TRUE(LoadScannerSettings(m_file, empty, nullptr));
    ExpectDefaults(empty);
}

TEST_F(ScannerSettingsTest, UnreadableValuesKeepTheirDefaults) {
    const std::string longLine(500, 'z');
    WriteFile("Scanner_Velocity\n"
              "Home_Offset " +
              longLine +
              "\n"                   // a long line still counts as one line
              "Scanner_Delay 25\r\n" // carriage return before the line feed
              "Scanner_CommPort\n"
              "Scanner_Baud abc\n"
              "Scanner_Center_Position 99999999999\n"
              "Scanner_Step_size nan\n"
              "Scanner_Absolute_Position\n"
              "\xff\xfe\x01\x02\n"
              "\n"
              "Scanner_Corridor 3000junk\n"
              "Scanner_home_position -inf\n"
              "Focus_home_position +42\n");
    ScannerSettingsValues v;
    ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr));
    EXPECT_EQ(v.m_homeOffset, 0);
    EXPECT_EQ(v.m_delayMs, 25);
    EXPECT_EQ(v.m_comPort, "COM1");
    EXPECT_EQ(v.m_baudRate, "115200");
    EXPECT_EQ(v.m_centerPosition, -165000);
    EXPECT_EQ(v.m_stepSize, 12.0);
    EXPECT_EQ(v.m_absolutePos, 1);
    EXPECT_EQ(v.m_relativePos, 0);
    EXPECT_EQ(v.m_checkPosition, 1);
    EXPECT_EQ(v.m_scannerEnabled, 1);
    EXPECT_EQ(v.m_corridor, 3000); // the number at the start counts, as "%d" reads it
    EXPECT_EQ(v.m_scanStartPosition, 0);
    EXPECT_EQ(v.m_focusPosition, 42);

    WriteFile(std::string("\0\0\0\n\0garbage\x80\n", 14));
    ScannerSettingsValues binary;
    ASSERT_TRUE(LoadScannerSettings(m_file, binary, nullptr));
    ExpectDefaults(binary);
}

namespace {
// The defaults' text with line `n` (1-based) replaced.
std::string WithLine(int n, const std::string& replacement) {
    std::istringstream in(kDefaultsText);
    std::string line, out;
    for (int i = 1; std::getline(in, line); ++i)
        out += (i == n ? replacement : line) + "\n";
    return out;
}
} // namespace

TEST_F(ScannerSettingsTest, NumbersOutsideTheirMeaningAreRefusedAndReported) {
    struct Case {
        int line;
        std::string text;
        std::string problem;
    };
    const Case cases[] = {
        {7, "Scanner_Step_size 0.000000",
         "line 7, Scanner_Step_size 0: every line would be taken at the same mirror position; 12 kept"},
        {7, "Scanner_Step_size inf", "line 7, Scanner_Step_size inf is not a finite number; 12 kept"},
        {7, "Scanner_Step_size -0.0014",
         "line 7, Scanner_Step_size -0.0014: a 696-line scan would move the mirror by less than one count; "
         "12 kept"},
        {7, "Scanner_Step_size 1e999", "line 7, Scanner_Step_size 1e999 is not a finite number; 12 kept"},
        {7, "Scanner_Step_size 12000000.000000",
         "line 7, Scanner_Step_size 12000000: a scan of 696 lines from the Scan Start Position 0 would leave "
         "the "
         "mirror's range (-2147483648 to 2147483647); 12 kept"},
        {12, "Scanner_home_position 2147483000",
         "line 12, Scanner_home_position 2147483000: a scan of 696 lines with the Step Size 12 would leave "
         "the "
         "mirror's range; 0 kept"},
        {12, "Scanner_home_position 2147483648",
         "line 12, Scanner_home_position 2147483648 does not fit in 32 bits (-2147483648 to 2147483647); 0 "
         "kept"},
        {6, "Scanner_Center_Position -2147483649",
         "line 6, Scanner_Center_Position -2147483649 does not fit in 32 bits (-2147483648 to 2147483647); "
         "-165000 kept"},
        {13, "Focus_home_position 99999999999",
         "line 13, Focus_home_position 99999999999 does not fit in 32 bits (-2147483648 to 2147483647); 0 "
         "kept"},
        {3, "Scanner_Delay -10", "line 3, Scanner_Delay -10 is below 0; 10 kept"},
        {11, "Scanner_Corridor -1", "line 11, Scanner_Corridor -1 is below 0; 10000 kept"},
        {5, "Scanner_Baud fast", "line 5, Scanner_Baud \"fast\" is not a whole number; 115200 kept"},
        {9, "Scanner_Check_position", "line 9, Scanner_Check_position: no value; 1 kept"},
        {4, "Scanner_CommPort " + std::string(33, 'C'),
         "line 4, Scanner_CommPort \"" + std::string(33, 'C') +
             "\" is not a port name (up to 32 letters, digits or signs); COM1 kept"},
        {4, "Scanner_CommPort COM\x01\xff",
         "line 4, Scanner_CommPort \"COM??\" is not a port name (up to 32 "
         "letters, digits or signs); COM1 kept"},
    };
    for (const Case& c : cases) {
        WriteFile(WithLine(c.line, c.text));
        ScannerSettingsValues v;
        std::string problems;
        ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr, &problems));
        EXPECT_EQ(problems, "ARV300_Scanner_Settings.txt: " + c.problem) << c.text;
        ExpectDefaults(v);
    }
    // A file as the program writes it, and the largest scan that fits, have nothing to report.
    for (const std::string& text :
         {std::string(kDefaultsText), WithLine(12, "Scanner_home_position 2147475295"),
          WithLine(7, "Scanner_Step_size 0.001437"), WithLine(7, "Scanner_Step_size -3085000.5")}) {
        ScannerSettingsValues v;
        std::string problems;
        WriteFile(text);
        ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr, &problems));
        EXPECT_EQ(problems, "") << text;
    }
    // A step that is too large with a start that is too far: the step falls back, and with 12 the
    // start still does not fit, so it falls back too.
    std::string text = WithLine(7, "Scanner_Step_size 5000000");
    text.replace(text.find("Scanner_home_position 0"), 23, "Scanner_home_position 2147480000");
    WriteFile(text);
    ScannerSettingsValues v;
    std::string problems;
    ASSERT_TRUE(LoadScannerSettings(m_file, v, nullptr, &problems));
    EXPECT_EQ(v.m_stepSize, 12.0);
    EXPECT_EQ(v.m_scanStartPosition, 0);
    EXPECT_EQ(std::count(problems.begin(), problems.end(), '\n'), 2) << problems;
    // A short file says where it ends; the rest keep their values.
    WriteFile("Scanner_Velocity 80\nHome_Offset 0\nScanner_Delay 20\n");
    ScannerSettingsValues shortFile;
    problems.clear();
    ASSERT_TRUE(LoadScannerSettings(m_file, shortFile, nullptr, &problems));
    EXPECT_EQ(shortFile.m_delayMs, 20);
    EXPECT_EQ(problems,
              "ARV300_Scanner_Settings.txt: the file ends after line 3 of 13; the later values keep theirs");
}

TEST_F(ScannerSettingsTest, MissingOrUncreatableFilesAreReported) {
    ScannerSettingsValues v = Changed();
    std::string message;
    EXPECT_FALSE(LoadScannerSettings((m_dir / "absent.txt").string(), v, &message));
    EXPECT_EQ(message, "unable to open ARV300_Scanner_Settings.txt");
    EXPECT_EQ(v.m_centerPosition, -200000); // untouched

    message.clear();
    EXPECT_FALSE(SaveScannerSettings((m_dir / "no_such_dir" / "s.txt").string(), v, &message));
    EXPECT_EQ(message, "unable to create ARV300_Scanner_Settings.txt");
    EXPECT_FALSE(fs::exists(m_dir / "no_such_dir"));
}

TEST_F(ScannerSettingsTest, AFailedSaveKeepsTheSettingsThatWereThere) {
    WriteFile(kChangedText);
    // 50 bytes: the write stops inside the third line.
    const int child = RunWithFileSizeLimit(50, [&] {
        std::string message;
        if (SaveScannerSettings(m_file, ScannerSettingsValues{}, &message))
            return 1;
        if (message != "unable to create ARV300_Scanner_Settings.txt")
            return 2;
        return ReadFile() == kChangedText ? 0 : 3;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(ReadFile(), kChangedText);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

TEST_F(ScannerSettingsTest, StepIsWrittenWithAPointWhateverTheLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = name;
            break;
        }
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    ScannerSettingsValues v;
    v.m_stepSize = 12.25;
    const bool saved_ok = SaveScannerSettings(m_file, v, nullptr);
    ScannerSettingsValues back;
    const bool loaded = LoadScannerSettings(m_file, back, nullptr);
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(saved_ok);
    ASSERT_TRUE(loaded);
    EXPECT_NE(ReadFile().find("Scanner_Step_size 12.250000\n"), std::string::npos);
    EXPECT_EQ(back.m_stepSize, 12.25);
}

TEST(LinePositionTest, TruncatesTowardZero) {
    EXPECT_EQ(LinePosition(0, 12.0, 0), 0);
    EXPECT_EQ(LinePosition(0, 12.0, 1), 12);
    EXPECT_EQ(LinePosition(0, 12.0, 695), 8340);
    EXPECT_EQ(LinePosition(-300000, 12.0, 10), -299880);
    EXPECT_EQ(LinePosition(0, 12.5, 1), 12);
    EXPECT_EQ(LinePosition(0, 12.5, 2), 25);
    EXPECT_EQ(LinePosition(-300000, 12.5, 1), -299987);
    EXPECT_EQ(LinePosition(0, -12.5, 1), -12);
    EXPECT_EQ(LinePosition(2147483000, 1000.0, 1), 2147483647); // held inside the range
    EXPECT_EQ(LinePosition(-2147483000, -1000.0, 1), -2147483647 - 1);
}

TEST(LinePositionTest, CheckedPositionsRefuseWhatDoesNotFitIn32Bits) {
    EXPECT_EQ(CheckedLinePosition(-300000, 12.5, 1), std::optional<int32_t>(-299987));
    EXPECT_EQ(CheckedLinePosition(2147483647 - 12, 12.0, 1), std::optional<int32_t>(2147483647));
    EXPECT_EQ(CheckedLinePosition(-2147483647 - 1, 0.5, 1),
              std::optional<int32_t>(-2147483647)); // toward zero
    EXPECT_EQ(CheckedLinePosition(-2147483647 - 1, -0.5, 1), std::optional<int32_t>(-2147483647 - 1));
    EXPECT_EQ(CheckedLinePosition(2147483647 - 11, 12.0, 1), std::nullopt);
    EXPECT_EQ(CheckedLinePosition(0, 12000000.0, 696), std::nullopt);
    EXPECT_EQ(CheckedLinePosition(0, std::nan(""), 0), std::nullopt);
    EXPECT_EQ(CheckedLinePosition(0, std::numeric_limits<double>::infinity(), 1), std::nullopt);
    EXPECT_TRUE(ScanFitsMirrorRange(0, 12.0, 696));
    EXPECT_TRUE(ScanFitsMirrorRange(2147483647 - 8352, 12.0, 696));
    EXPECT_FALSE(ScanFitsMirrorRange(2147483647 - 8351, 12.0, 696));
    EXPECT_FALSE(ScanFitsMirrorRange(0, 3100000.0, 696));
    EXPECT_TRUE(ScanFitsMirrorRange(0, -3000000.0, 696));
}
