#pragma once
// Every message box and every file dialog of the program goes through UserPrompts, so that the
// window shows real dialogs, scripts and tests never wait on one, and tests can assert the exact
// texts shown.
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Caption used when a message has none of its own (the application's name).
inline constexpr const char* kDefaultCaption = "Strata";

class UserPrompts {
public:
    virtual ~UserPrompts() = default;
    // Shows a message and returns once the user has acknowledged it. May be called from any thread.
    virtual void Message(const std::string& text, const std::string& caption = kDefaultCaption) = 0;
    // Save-file dialog (hide read-only box, confirm overwrite). nullopt when cancelled.
    virtual std::optional<std::string> AskSavePath(const std::string& initialName = {}) = 0;
    // Open-file dialog. nullopt when cancelled.
    virtual std::optional<std::string> AskOpenPath() = 0;
    // False when nobody answers dialogs (scripts, tests): windows that would wait for the user, such
    // as a settings dialog the program opens by itself, are then not shown.
    virtual bool Interactive() const { return true; }
};

// Prints every message with its caption to stderr and cancels every file dialog.
class NonInteractivePrompts : public UserPrompts {
public:
    void Message(const std::string& text, const std::string& caption = kDefaultCaption) override;
    std::optional<std::string> AskSavePath(const std::string& initialName = {}) override;
    std::optional<std::string> AskOpenPath() override;
    bool Interactive() const override { return false; }
};

// Records every message and answers file dialogs from a queue (an empty queue cancels).
// Thread-safe: messages may come from the camera thread.
class ScriptedPrompts : public UserPrompts {
public:
    struct Shown {
        std::string text;
        std::string caption;
    };
    void Message(const std::string& text, const std::string& caption = kDefaultCaption) override;
    std::optional<std::string> AskSavePath(const std::string& initialName = {}) override;
    std::optional<std::string> AskOpenPath() override;

    bool Interactive() const override { return false; }

    void QueueSavePath(std::optional<std::string> path);
    void QueueOpenPath(std::optional<std::string> path);
    std::vector<Shown> Messages() const;
    std::vector<std::string> Texts() const;
    std::vector<std::string> SaveInitialNames() const;
    void Clear();
    // Also echo messages to stderr (useful when a test fails).
    bool echo = false;

private:
    mutable std::mutex m_mutex;
    std::vector<Shown> m_messages;
    std::vector<std::string> m_saveInitialNames;
    std::deque<std::optional<std::string>> m_savePaths;
    std::deque<std::optional<std::string>> m_openPaths;
};
