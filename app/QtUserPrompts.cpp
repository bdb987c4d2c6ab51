#include "app/QtUserPrompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

void QtUserPrompts::Message(const std::string& text, const std::string& caption) {
    const QString t = QString::fromStdString(text);
    const QString c = QString::fromStdString(caption);
    if (QThread::currentThread() != qApp->thread()) {
        QWidget* owner = m_owner;
        QMetaObject::invokeMethod(qApp, [owner, t, c] { QMessageBox::information(owner, c, t); },
                                  Qt::QueuedConnection);
        return;
    }
    QMessageBox::information(m_owner, c, t);
}

std::optional<std::string> QtUserPrompts::AskSavePath(const std::string& initialName) {
    // Qt's save dialog asks before overwriting by default; the read-only box does not exist.
    const QString path = QFileDialog::getSaveFileName(m_owner, QString(), QString::fromStdString(initialName));
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}

std::optional<std::string> QtUserPrompts::AskOpenPath() {
    const QString path = QFileDialog::getOpenFileName(m_owner);
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}
