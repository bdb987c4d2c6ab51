#pragma once
// Helpers for the scanner dialog tests: waiting with the event loop running, choosing a list entry
// as the user does, and collecting status texts from any thread.
#include <QApplication>
#include <QComboBox>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs the event loop until done() holds or timeoutMs passed; returns done().
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Chooses the entry with the given text as a pick from the open list does: the selection moves
// there and the list reports the user's choice.
inline bool ChooseEntry(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text, Qt::MatchExactly);
    if (index < 0 || !combo->isEnabled())
        return false;
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return true;
}

class StatusLog {
public:
    std::function<void(const std::string&)> Callback() {
        return [this](const std::string& text) {
            std::lock_guard lock(m_mutex);
            m_texts.push_back(text);
        };
    }
    std::vector<std::string> Texts() const {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_texts;
};
