#pragma once
// Settings and fault switches of the simulated cameras behind camera/lucam.h.
// Camera number 1 is the data camera (a 1392 x 1040 monochrome sensor delivering 16-bit frames,
// 696 x 520 after 2 x 2 binning); camera number 2 is the focus camera (colour, RGB preview).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

struct SimCameraSettings {
    int cameraCount = 2;
    // Frame rates offered by the data camera (the program walks them from the last one back).
    std::vector<float> dataRates = {3.75f, 7.5f, 15.0f, 30.0f, 50.0f};
    std::vector<float> focusRates = {7.5f, 15.0f};
    // Properties whose set and get fail (e.g. 20 exposure, 40 gain, 80 colour format).
    std::set<uint32_t> refusedProperties;
    bool refuseSetFormat = false;
    bool refuseGetFormat = false;
    bool refuseStreaming = false;
    // Simulated time runs this many times faster than real time (frame periods shrink).
    double clockScale = 1.0;
    // Drop every n-th frame deliberately (0: none), to exercise the consumer's handling.
    int dropEvery = 0;
    // The data camera stops delivering frames for good once the mirror stands at or beyond this
    // position (a camera that dies mid-scan); its stream keeps running and answers every call.
    std::optional<int32_t> stopDeliveringAt;
    uint32_t serialNumber = 20113;
};

class SimCameras {
public:
    static SimCameras& Instance();
    // Replaces the settings; only takes effect for cameras opened afterwards (call before start-up).
    void Configure(const SimCameraSettings& settings);
    SimCameraSettings Settings() const;
    void SetClockScale(double scale);

    // Frames of camera n (1 or 2) handed to the streaming callbacks, and frames dropped because the
    // previous callback had not yet returned when the next frame was due.
    uint64_t DeliveredFrames(int number) const;
    uint64_t DroppedFrames(int number) const;
    // Frames of camera n dropped since the process started, counted without taking the registry's
    // lock: a streaming callback may ask (the registry lock is held while streams are joined).
    static uint64_t DroppedFramesSoFar(int number);
    void ResetCounters();
    // Stops (true) or resumes (false) the data camera's deliveries at once; the stream keeps running.
    void SetDataCameraSilent(bool silent);
    bool DataCameraSilent() const;

    // Stops every stream and forgets every camera (end of the process, end of a test).
    void Shutdown();

private:
    SimCameras() = default;
    mutable std::mutex m_mutex;
    SimCameraSettings m_settings;
};
