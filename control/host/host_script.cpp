#include "control/host/host_script.h"

#include <QEventLoop>
#include <QFile>
#include <QJSEngine>
#include <QTimer>
#include <cstdio>

#include "control/player_control.h"

namespace zevo {

HostApi::HostApi(PlayerControl* control, QJSEngine* engine) : mControl(control), mEngine(engine) {
    mClock.start();
}

void HostApi::sleep(int ms) {
    if (mQuit) return;
    QEventLoop loop;
    QTimer::singleShot(ms < 0 ? 0 : ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QString HostApi::paneText(int pane) const {
    return mControl->Player()->PaneText(pane);
}

QVariantList HostApi::messageBoxes() const {
    return mBoxes;
}

void HostApi::log(const QString& text) {
    PrintLine(QStringLiteral("log"), text);
}

void HostApi::quit(int code) {
    mQuit = true;
    mExitCode = code;
    if (mEngine) mEngine->setInterrupted(true);
}

void HostApi::PrintLine(const QString& kind, const QString& text) {
    const QByteArray line =
        QStringLiteral("%1 %2: %3\n").arg(mClock.elapsed()).arg(kind, text).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void HostApi::RecordMessageBox(const QString& caption, const QString& text) {
    QVariantMap box;
    box.insert(QStringLiteral("caption"), caption);
    box.insert(QStringLiteral("text"), text);
    mBoxes.append(box);
    PrintLine(QStringLiteral("box[%1]").arg(caption), text);
}

int RunHostScript(const QString& path, PlayerControl* control, HostApi* host, QJSEngine* engine) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        host->PrintLine(QStringLiteral("error"), QStringLiteral("cannot read %1").arg(path));
        return 2;
    }
    const QString source = QString::fromUtf8(file.readAll());
    engine->installExtensions(QJSEngine::ConsoleExtension);
    engine->globalObject().setProperty(QStringLiteral("player"), engine->newQObject(control));
    engine->globalObject().setProperty(QStringLiteral("host"), engine->newQObject(host));
    QJSEngine::setObjectOwnership(control, QJSEngine::CppOwnership);
    QJSEngine::setObjectOwnership(host, QJSEngine::CppOwnership);
    const QJSValue result = engine->evaluate(source, path);
    if (host->QuitRequested()) return host->ExitCode();
    if (result.isError()) {
        host->PrintLine(QStringLiteral("error"),
                        QStringLiteral("%1 (line %2)")
                            .arg(result.toString())
                            .arg(result.property(QStringLiteral("lineNumber")).toInt()));
        return 2;
    }
    return 0;
}

}  // namespace zevo
