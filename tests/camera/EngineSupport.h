#pragma once
// A host and a mirror for driving the acquisition engine without a window.
#include "camera/AcquisitionEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeHost : public EngineHost {
public:
    void SetStatusText(int pane, const std::string& text) override {
        std::lock_guard lock(mutex);
        status[pane] = text;
    }
    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
    }
    bool StopFocusPreviewIfRunning() override { return previewStops; }
    void EnableScanLimitControls(bool enable) override { limitsEnabled = enable; }
    void EnableApplyDark() override { applyDarkEnabled = true; }
    bool EnsureStreaming() override { return streaming; }
    void UpdateImage() override { ++pictures; }
    void PostStackSave(bool dark) override { (dark ? darkSaves : calSaves)++; }
    void AcquisitionEnded() override { ++ended; }

    std::string Status(int pane) {
        std::lock_guard lock(mutex);
        return status[pane];
    }
    std::vector<std::string> Messages() {
        std::lock_guard lock(mutex);
        return messages;
    }

    std::mutex mutex;
    std::map<int, std::string> status;
    std::vector<std::string> messages;
    bool previewStops = true;
    std::atomic<bool> limitsEnabled{true};
    std::atomic<bool> applyDarkEnabled{false};
    bool streaming = true;
    std::atomic<int> pictures{0};
    std::atomic<int> darkSaves{0};
    std::atomic<int> calSaves{0};
    std::atomic<int> ended{0};
};

class FakeMirror : public MirrorLink {
public:
    void EnableScannerDrive(bool on) override {
        std::lock_guard lock(mutex);
        log.push_back(on ? "EN" : "DI");
    }
    void MoveMirrorAbsolute(int32_t position) override {
        std::lock_guard lock(mutex);
        log.push_back("LA" + std::to_string(position));
        moves.push_back(position);
        // The link goes down on this move (it was not carried out).
        if (loseLinkAtMove == int(moves.size()))
            lost = true;
    }
    TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort) override {
        // A mirror that never arrives: the travel ends only when it is aborted (at most 10 s).
        if (holdTravels.load() > 0) {
            --holdTravels;
            {
                std::lock_guard lock(mutex);
                log.push_back("HOLD" + std::to_string(target));
            }
            travelling = true;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!(abort && abort->load()) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            travelling = false;
            return abort && abort->load() ? TravelResult::Stopped : TravelResult::TimedOut;
        }
        std::lock_guard lock(mutex);
        log.push_back("TRAVEL" + std::to_string(target));
        if (!travelResults.empty()) {
            const TravelResult r = travelResults.front();
            travelResults.erase(travelResults.begin());
            return r;
        }
        return travelResult;
    }
    bool LinkLost() const override { return lost.load(); }
    // Answers position queries with reportedPosition when set (nothing otherwise, as an unconnected
    // controller); each query is logged as POS.
    std::optional<int32_t> QueryPosition() override {
        std::lock_guard lock(mutex);
        if (!reportedPosition)
            return std::nullopt;
        log.push_back("POS");
        return reportedPosition;
    }
    std::optional<int32_t> reportedPosition;
    std::atomic<int> holdTravels{0};     // the next travels that wait for their abort flag
    std::atomic<bool> travelling{false}; // one of them waits now
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex);
        return log;
    }
    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<int32_t> moves;
    TravelResult travelResult = TravelResult::Arrived;
    // Results of the next travels, in order, before travelResult applies again.
    std::vector<TravelResult> travelResults;
    int loseLinkAtMove = -1;
    std::atomic<bool> lost{false};
};

// An engine with its buffers, the data camera online and every new line drawn at once, fed
// frames by hand (no camera thread); frame holds the next frame's pixels.
class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        engine.AllocateBuffers(CubeGeometry{});
        engine.SetDataCameraOnline(true);
        engine.SetMinimumRedrawInterval(0);
        frame.assign(size_t(696) * 520, 0);
    }
    void TearDown() override { engine.ShutdownDisplayThread(); }
    void Feed(int frames) {
        for (int i = 0; i < frames; ++i)
            engine.OnDataFrame(frame.data());
    }

    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine{host, mirror};
    std::vector<uint16_t> frame;
};
