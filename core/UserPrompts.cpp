#include "core/UserPrompts.h"

#include <cstdio>

void NonInteractivePrompts::Message(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

std::optional<std::string> NonInteractivePrompts::AskSavePath(const std::string&) { return std::nullopt; }
std::optional<std::string> NonInteractivePrompts::AskOpenPath() { return std::nullopt; }

void ScriptedPrompts::Message(const std::string& text, const std::string& caption) {
    std::lock_guard lock(m_mutex);
    m_messages.push_back({text, caption});
    if (echo)
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
}

std::optional<std::string> ScriptedPrompts::AskSavePath(const std::string& initialName) {
    std::lock_guard lock(m_mutex);
    m_saveInitialNames.push_back(initialName);
    if (m_savePaths.empty())
        return std::nullopt;
    auto p = m_savePaths.front();
    m_savePaths.pop_front();
    return p;
}

std::optional<std::string> ScriptedPrompts::AskOpenPath() {
    std::lock_guard lock(m_mutex);
    if (m_openPaths.empty())
        return std::nullopt;
    auto p = m_openPaths.front();
    m_openPaths.pop_front();
    return p;
}

void ScriptedPrompts::QueueSavePath(std::optional<std::string> path) {
    std::lock_guard lock(m_mutex);
    m_savePaths.push_back(std::move(path));
}

void ScriptedPrompts::QueueOpenPath(std::optional<std::string> path) {
    std::lock_guard lock(m_mutex);
    m_openPaths.push_back(std::move(path));
}

std::vector<ScriptedPrompts::Shown> ScriptedPrompts::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<std::string> ScriptedPrompts::Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> t;
    for (auto& m : m_messages)
        t.push_back(m.text);
    return t;
}

std::vector<std::string> ScriptedPrompts::SaveInitialNames() const {
    std::lock_guard lock(m_mutex);
    return m_saveInitialNames;
}

void ScriptedPrompts::Clear() {
    std::lock_guard lock(m_mutex);
    m_messages.clear();
    m_saveInitialNames.clear();
    m_savePaths.clear();
    m_openPaths.clear();
}
