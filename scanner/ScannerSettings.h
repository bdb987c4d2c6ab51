#pragma once
// The scanner settings: the values that tie the motion controller's counts to the instrument,
// their file, and the rule that turns a cube line into a mirror position.
//
// The file holds 13 lines "<key> <value>\n" in a fixed order and is read back by position: the key
// words are not compared, so the value on line 6 is always the On-Center Position.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char* kScannerSettingsFile = "./Settings/ARV300_Scanner_Settings.txt";
inline constexpr const char* kScannerSettingsOpenError = "unable to open ARV300_Scanner_Settings.txt";
inline constexpr const char* kScannerSettingsCreateError = "unable to create ARV300_Scanner_Settings.txt";

// Values of the scanner settings with their defaults. The numeric values may be read by one
// thread while another sets them (the camera thread reads the positions at each frame while the
// settings dialog edits them): such cross-thread uses go through the accessors, which are atomic.
// The two strings belong to the window thread.
struct ScannerSettingsValues {
    std::string m_comPort = "COM1";
    std::string m_baudRate = "115200";
    int32_t m_scanStartPosition = 0;
    int32_t m_centerPosition = -165000;
    int32_t m_focusPosition = 0;
    double m_stepSize = 12.0;
    int32_t m_corridor = 10000;
    int m_scannerEnabled = 1;
    int m_checkPosition = 1;
    int m_relativePos = 0;
    int m_absolutePos = 1;
    int m_delayMs = 10;
    int m_velocity = 80;
    int m_homeOffset = 0;
    int32_t m_lastPosition = 0;

    int32_t GetScanStartPosition() const { return Load(m_scanStartPosition); }
    void SetScanStartPosition(int32_t v) { Store(m_scanStartPosition, v); }
    int32_t GetCenterPosition() const { return Load(m_centerPosition); }
    void SetCenterPosition(int32_t v) { Store(m_centerPosition, v); }
    int32_t GetFocusPosition() const { return Load(m_focusPosition); }
    void SetFocusPosition(int32_t v) { Store(m_focusPosition, v); }
    double GetStepSize() const { return Load(m_stepSize); }
    void SetStepSize(double v) { Store(m_stepSize, v); }
    int32_t GetCorridor() const { return Load(m_corridor); }
    void SetCorridor(int32_t v) { Store(m_corridor, v); }
    int GetScannerEnabled() const { return Load(m_scannerEnabled); }
    void SetScannerEnabled(int v) { Store(m_scannerEnabled, v); }
    int GetCheckPosition() const { return Load(m_checkPosition); }
    void SetCheckPosition(int v) { Store(m_checkPosition, v); }
    int GetRelativePos() const { return Load(m_relativePos); }
    void SetRelativePos(int v) { Store(m_relativePos, v); }
    int GetAbsolutePos() const { return Load(m_absolutePos); }
    void SetAbsolutePos(int v) { Store(m_absolutePos, v); }
    int GetDelayMs() const { return Load(m_delayMs); }
    void SetDelayMs(int v) { Store(m_delayMs, v); }
    int GetVelocity() const { return Load(m_velocity); }
    void SetVelocity(int v) { Store(m_velocity, v); }
    int GetHomeOffset() const { return Load(m_homeOffset); }
    void SetHomeOffset(int v) { Store(m_homeOffset, v); }
    int32_t GetLastPosition() const { return Load(m_lastPosition); }
    void SetLastPosition(int32_t v) { Store(m_lastPosition, v); }
    const std::string& GetComPort() const { return m_comPort; }
    void SetComPort(const std::string& v) { m_comPort = v; }
    const std::string& GetBaudRate() const { return m_baudRate; }
    void SetBaudRate(const std::string& v) { m_baudRate = v; }

private:
    template <typename T> static T Load(const T& member) {
        return std::atomic_ref<T>(const_cast<T&>(member)).load(std::memory_order_relaxed);
    }
    template <typename T> static void Store(T& member, T value) {
        std::atomic_ref<T>(member).store(value, std::memory_order_relaxed);
    }
};

// The velocity kept across openings of the settings dialog (process-wide, starts at 80).
int ScannerVelocity();
void SetScannerVelocity(int velocity);

// Reads the settings file into values. Lines are taken by position, numbers independent of the
// locale and checked where they enter: a value that is missing or cannot be read, a position or any
// other integer beyond 32 bits, a negative delay or corridor, a step that is not finite or so small
// (zero included) that a 696-line scan would move the mirror by less than one count,
// and a step or scan start with which the scan's line positions would leave the 32-bit range, leave
// their member as it was (the step falls back first, then the start). The velocity on line 1 is
// ignored. When the file cannot be opened, message receives kScannerSettingsOpenError and false is
// returned with values untouched. Otherwise problemText (if given) receives one message listing
// every refused value, or stays as it was when there was none.
bool LoadScannerSettings(const std::string& path, ScannerSettingsValues& values, std::string* message,
                         std::string* problemText = nullptr);
// Writes the 13 lines of values (created or emptied). When the file cannot be created or written,
// message receives kScannerSettingsCreateError and false is returned.
bool SaveScannerSettings(const std::string& path, const ScannerSettingsValues& values, std::string* message);

// Mirror position of cube line `line`: scanStart + line × stepPerLine in double precision,
// truncated toward zero. Empty when that is not a number or does not fit in 32 bits: such a
// position must never be sent to the mirror.
std::optional<int32_t> CheckedLinePosition(int32_t scanStart, double stepPerLine, int line);
// The same, held inside the 32-bit range (for display; never for a move).
int32_t LinePosition(int32_t scanStart, double stepPerLine, int line);
// Whether every line 0 ... lastLine of a scan has a position that fits in 32 bits.
bool ScanFitsMirrorRange(int32_t scanStart, double stepPerLine, int lastLine);
