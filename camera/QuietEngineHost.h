#pragma once
// An engine host and a mirror with nothing behind them: for running the engine where nobody
// watches (converting a stored cube, benchmarks). Messages and status texts go nowhere.
#include "camera/AcquisitionEngine.h"

class QuietEngineHost : public EngineHost {
public:
    // streaming: what EnsureStreaming answers (whether frames are said to arrive).
    explicit QuietEngineHost(bool streaming) : m_streaming(streaming) {}
    void SetStatusText(int, const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool StopFocusPreviewIfRunning() override { return true; }
    void EnableScanLimitControls(bool) override {}
    void EnableApplyDark() override {}
    bool EnsureStreaming() override { return m_streaming; }
    void UpdateImage() override {}
    void PostStackSave(bool) override {}

private:
    bool m_streaming;
};

// A mirror that takes every command and answers each travel with the same result.
class StillMirror : public MirrorLink {
public:
    explicit StillMirror(TravelResult travel) : m_travel(travel) {}
    void EnableScannerDrive(bool) override {}
    void MoveMirrorAbsolute(int32_t) override {}
    TravelResult TravelTo(int32_t, const std::atomic<bool>*) override { return m_travel; }

private:
    TravelResult m_travel;
};
