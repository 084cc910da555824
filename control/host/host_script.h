#pragma once
// The `host` object of a zevo-host script, and the run's transcript on standard output:
// every change of status pane 0 and every message box, one line each, prefixed with the
// milliseconds since start.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <vector>

class QJSEngine;

namespace zevo {

class ControlSite;

class HostApi : public QObject {
    Q_OBJECT

public:
    HostApi(std::vector<ControlSite*> controls, QJSEngine* engine);

    // Keeps the event loop running for ms milliseconds.
    Q_INVOKABLE void sleep(int ms);
    // Status pane of the first control.
    Q_INVOKABLE QString paneText(int pane) const;
    // Each box shown so far as {caption, text}.
    Q_INVOKABLE QVariantList messageBoxes() const;
    Q_INVOKABLE void log(const QString& text);
    // Ends the script; the program exits with code.
    Q_INVOKABLE void quit(int code);
    Q_INVOKABLE int controlCount() const { return static_cast<int>(mControls.size()); }
    // The site of control i, for the script's wrappers.
    Q_INVOKABLE QObject* site(int i) const;
    // Open top-level dialogs as {title, tabs, texts}: what the property frame shows.
    Q_INVOKABLE QVariantList dialogs() const;
    Q_INVOKABLE void closeDialogs();

    // Transcript lines.
    void PrintLine(const QString& kind, const QString& text);
    void RecordMessageBox(const QString& caption, const QString& text);

    bool QuitRequested() const { return mQuit; }
    int ExitCode() const { return mExitCode; }

private:
    std::vector<ControlSite*> mControls;
    QJSEngine* mEngine;
    QElapsedTimer mClock;
    QVariantList mBoxes;
    bool mQuit = false;
    int mExitCode = 0;
};

// Defines `host` (with invoke(id[, value]) on the first control and controls[i]) and
// `player` (the first control) in the engine: each control's members as properties and
// methods that resolve their name to an id and call by id.
void DefineScriptObjects(QJSEngine* engine, HostApi* host);

// Runs the script file; returns the exit code.
int RunHostScript(const QString& path, HostApi* host, QJSEngine* engine);

}  // namespace zevo
