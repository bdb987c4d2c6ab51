#include "calibration/CalibrationStore.h"

#include <algorithm>

void CalibrationStore::Allocate(size_t values) {
    std::lock_guard lock(m_mutex);
    m_darkFrame.assign(values, 0);
    m_gains.assign(values, 1.0f);
    m_darkFrameValid = false;
    m_gainsLoaded = false;
}

size_t CalibrationStore::Size() const {
    std::lock_guard lock(m_mutex);
    return m_darkFrame.size();
}

std::vector<uint16_t> CalibrationStore::CopyDarkFrame(size_t count) const {
    std::lock_guard lock(m_mutex);
    count = std::min(count, m_darkFrame.size());
    return {m_darkFrame.begin(), m_darkFrame.begin() + ptrdiff_t(count)};
}

void CalibrationStore::StoreDarkFrame(const uint16_t* values, size_t count) {
    std::lock_guard lock(m_mutex);
    count = std::min(count, m_darkFrame.size());
    std::fill(m_darkFrame.begin() + ptrdiff_t(count), m_darkFrame.end(), uint16_t(0));
    std::copy_n(values, count, m_darkFrame.begin());
    ++m_darkFrameWrites;
}

bool CalibrationStore::ReplaceDarkFrame(const uint16_t* values, size_t count) {
    {
        std::lock_guard lock(m_mutex);
        if (m_darkFrame.size() < count)
            return false;
        std::copy_n(values, count, m_darkFrame.begin());
        ++m_darkFrameWrites;
    }
    m_darkFrameValid = true;
    return true;
}

std::vector<float> CalibrationStore::CopyGains(size_t count) const {
    std::lock_guard lock(m_mutex);
    count = std::min(count, m_gains.size());
    return {m_gains.begin(), m_gains.begin() + ptrdiff_t(count)};
}

RadCalLoad CalibrationStore::LoadGainsFile(const std::string& path, size_t count) {
    RadCalLoad load;
    {
        std::lock_guard lock(m_mutex);
        load = LoadRadCalFile(path, m_gains.data(), std::min(count, m_gains.size()));
    }
    m_gainsLoaded = load.result == FileResult::Ok;
    return load;
}

void CalibrationStore::InstallGains(const std::vector<float>& gains) {
    {
        std::lock_guard lock(m_mutex);
        std::copy_n(gains.begin(), std::min(gains.size(), m_gains.size()), m_gains.begin());
    }
    m_gainsLoaded = true;
}

void CalibrationStore::ResetGains(size_t count) {
    std::lock_guard lock(m_mutex);
    std::fill_n(m_gains.begin(), std::min(count, m_gains.size()), 1.0f);
}
