#include "control/host/host_script.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QJSEngine>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "control/host/control_site.h"

namespace zevo {

namespace {

// Builds the script's view of the host and the controls on the C++ objects.
const char kGlue[] = R"JS(
(function (api) {
    function wrap(site) {
        var o = {};
        site.members().forEach(function (m) {
            if (m.kind === "property") {
                Object.defineProperty(o, m.name, {
                    get: function () { return site.get(site.idOfName(m.name)); },
                    set: function (v) { site.put(site.idOfName(m.name), v); },
                    enumerable: true
                });
            } else {
                o[m.name] = function () {
                    return site.call(site.idOfName(m.name), Array.prototype.slice.call(arguments));
                };
            }
        });
        o.invoke = function (id, v) { return arguments.length > 1 ? site.invoke1(id, v) : site.invoke0(id); };
        o.idOfName = function (n) { return site.idOfName(n); };
        o.paneText = function (n) { return site.paneText(n); };
        o.showProperties = function () { site.showProperties(); };
        o.close = function () { site.close(); };
        return o;
    }
    var controls = [];
    for (var i = 0; i < api.controlCount(); ++i) controls.push(wrap(api.site(i)));
    var host = {
        controls: controls,
        invoke: function (id, v) {
            return arguments.length > 1 ? controls[0].invoke(id, v) : controls[0].invoke(id);
        }
    };
    ["sleep", "paneText", "messageBoxes", "log", "quit", "dialogs", "closeDialogs"].forEach(function (n) {
        host[n] = function () { return api[n].apply(api, arguments); };
    });
    return host;
})
)JS";

}  // namespace

HostApi::HostApi(std::vector<ControlSite*> controls, QJSEngine* engine)
    : mControls(std::move(controls)), mEngine(engine) {
    mClock.start();
    for (ControlSite* site : mControls) {
        connect(site, &ControlSite::CallFailed, this, [this](const QString& what) {
            if (mEngine) mEngine->throwError(QStringLiteral("dispatch failed: %1").arg(what));
        });
    }
}

void HostApi::sleep(int ms) {
    if (mQuit) return;
    QEventLoop loop;
    QTimer::singleShot(ms < 0 ? 0 : ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QString HostApi::paneText(int pane) const {
    return mControls.empty() ? QString() : mControls[0]->paneText(pane);
}

QObject* HostApi::site(int i) const {
    if (i < 0 || i >= controlCount()) return nullptr;
    return mControls[static_cast<size_t>(i)];
}

QVariantList HostApi::dialogs() const {
    QVariantList list;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        if (!dialog || !dialog->isVisible()) continue;
        QVariantMap entry;
        entry.insert(QStringLiteral("title"), dialog->windowTitle());
        QStringList tabs;
        for (QTabWidget* t : dialog->findChildren<QTabWidget*>()) {
            for (int i = 0; i < t->count(); ++i) tabs << t->tabText(i);
        }
        QStringList texts;
        for (QLabel* l : dialog->findChildren<QLabel*>()) texts << l->text();
        entry.insert(QStringLiteral("tabs"), tabs);
        entry.insert(QStringLiteral("texts"), texts);
        list.append(entry);
    }
    return list;
}

void HostApi::closeDialogs() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w)) dialog->close();
    }
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

void DefineScriptObjects(QJSEngine* engine, HostApi* host) {
    engine->installExtensions(QJSEngine::ConsoleExtension);
    QJSEngine::setObjectOwnership(host, QJSEngine::CppOwnership);
    for (int i = 0; i < host->controlCount(); ++i) {
        QJSEngine::setObjectOwnership(host->site(i), QJSEngine::CppOwnership);
    }
    const QJSValue make = engine->evaluate(QString::fromLatin1(kGlue));
    const QJSValue hostObject = make.call({engine->newQObject(host)});
    engine->globalObject().setProperty(QStringLiteral("host"), hostObject);
    engine->globalObject().setProperty(QStringLiteral("player"),
                                       hostObject.property(QStringLiteral("controls")).property(0));
}

int RunHostScript(const QString& path, HostApi* host, QJSEngine* engine) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        host->PrintLine(QStringLiteral("error"), QStringLiteral("cannot read %1").arg(path));
        return 2;
    }
    const QString source = QString::fromUtf8(file.readAll());
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
