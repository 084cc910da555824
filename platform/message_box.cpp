#include "platform/message_box.h"

#include <QMessageBox>
#include <mutex>

namespace zevo {

namespace {
std::mutex gHookLock;
MessageBoxHook gHook;
}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard lock(gHookLock);
    gHook = std::move(hook);
}

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                    MessageIcon icon) {
    MessageBoxHook hook;
    {
        std::lock_guard lock(gHookLock);
        hook = gHook;
    }
    if (hook) {
        hook(caption, text);
        return;
    }
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    switch (icon) {
        case MessageIcon::Information: qtIcon = QMessageBox::Information; break;
        case MessageIcon::Warning: qtIcon = QMessageBox::Warning; break;
        case MessageIcon::Error: qtIcon = QMessageBox::Critical; break;
        case MessageIcon::None: break;
    }
    QMessageBox box(qtIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace zevo
