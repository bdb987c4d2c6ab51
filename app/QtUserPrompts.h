#pragma once
// Message boxes and file dialogs of the window: real Qt dialogs.
#include "core/UserPrompts.h"

class QWidget;

class QtUserPrompts : public UserPrompts {
public:
    explicit QtUserPrompts(QWidget* owner = nullptr) : m_owner(owner) {}
    void SetOwner(QWidget* owner) { m_owner = owner; }
    // On the window thread: a modal message box. From another thread the message is posted to the
    // window thread and the call returns at once (a camera thread must never wait for the window).
    void Message(const std::string& text, const std::string& caption = kDefaultCaption) override;
    std::optional<std::string> AskSavePath(const std::string& initialName = {}) override;
    std::optional<std::string> AskOpenPath() override;

private:
    QWidget* m_owner;
};
