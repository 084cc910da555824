#pragma once
// The `host` object of a zevo-host script, and the run's transcript on standard output:
// every change of status pane 0 and every message box, one line each, prefixed with the
// milliseconds since start.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVariantList>

class QJSEngine;

namespace zevo {

class PlayerControl;

class HostApi : public QObject {
    Q_OBJECT

public:
    HostApi(PlayerControl* control, QJSEngine* engine);

    // Keeps the event loop running for ms milliseconds.
    Q_INVOKABLE void sleep(int ms);
    Q_INVOKABLE QString paneText(int pane) const;
    // Each box shown so far as {caption, text}.
    Q_INVOKABLE QVariantList messageBoxes() const;
    Q_INVOKABLE void log(const QString& text);
    // Ends the script; the program exits with code.
    Q_INVOKABLE void quit(int code);

    // Transcript lines.
    void PrintLine(const QString& kind, const QString& text);
    void RecordMessageBox(const QString& caption, const QString& text);

    bool QuitRequested() const { return mQuit; }
    int ExitCode() const { return mExitCode; }

private:
    PlayerControl* mControl;
    QJSEngine* mEngine;
    QElapsedTimer mClock;
    QVariantList mBoxes;
    bool mQuit = false;
    int mExitCode = 0;
};

// Runs the script file with `player` and `host`; returns the exit code.
int RunHostScript(const QString& path, PlayerControl* control, HostApi* host, QJSEngine* engine);

}  // namespace zevo
