#pragma once
// Modal message boxes of the viewer. A host without a screen (zevo-host --headless, the
// tests) installs a hook: boxes are then not shown but handed to the hook and count as
// answered with OK at once.
#include <QString>
#include <functional>

class QWidget;

namespace zevo {

enum class MessageIcon { None, Information, Warning, Error };

using MessageBoxHook = std::function<void(const QString& caption, const QString& text)>;

// Shows text in a modal box with an OK button on the calling (window) thread and
// returns when it is closed. owner may be null.
void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                    MessageIcon icon = MessageIcon::None);

// Installs (or, with an empty function, removes) the hook for the whole process.
void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace zevo
