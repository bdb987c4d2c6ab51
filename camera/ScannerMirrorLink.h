#pragma once
// The scanner link seen from the acquisition engine.
#include "camera/AcquisitionEngine.h"
#include "scanner/ScannerLink.h"

class ScannerMirrorLink : public MirrorLink {
public:
    explicit ScannerMirrorLink(ScannerLink& link) : m_link(link) {}
    void EnableScannerDrive(bool on) override { m_link.EnableScannerDrive(on); }
    void MoveMirrorAbsolute(int32_t position) override { m_link.MoveMirrorAbsolute(position); }
    TravelResult TravelTo(int32_t target, const std::atomic<bool>* abort) override {
        return m_link.TravelTo(target, abort);
    }
    bool LinkLost() const override { return m_link.LinkLost(); }
    std::optional<int32_t> QueryPosition() override {
        int32_t position = 0;
        if (!m_link.m_scannerConnected.load() || !m_link.QueryMirrorPosition(position))
            return std::nullopt;
        return position;
    }

private:
    ScannerLink& m_link;
};
