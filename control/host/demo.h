#pragma once
// zevo-host --demo: a loopback zevo-p2pd and a zevo-camd with four test cameras and a
// tone, started as children of the host, so the viewer shows live video and sound with
// no camera. The children end with the host: on its exit, on SIGINT/SIGTERM, and (by
// PR_SET_PDEATHSIG) when it dies.
#include <sys/types.h>

#include <QCommandLineOption>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class QCommandLineParser;
class QWidget;

namespace zevo {

class HostApi;
class ControlSite;

class Demo {
public:
    static constexpr const char* kDid = "ZEVO-000001-DEMO";
    static constexpr const char* kPassword = "demo1234";
    static constexpr int kCameras = 4;

    Demo();
    ~Demo();
    Demo(const Demo&) = delete;
    Demo& operator=(const Demo&) = delete;

    // True when the command line asks for the demo and no screen can be used, so the
    // host must run headless (decided before the application object exists).
    static bool WantsHeadless(int argc, char** argv);
    void AddOptions(QCommandLineParser& parser) const;

    // Starts the service and the device when --demo is set and points this process's
    // transport at the service. Must run before the control initialises its transport.
    // False when the demo was asked for and could not start.
    bool Start(const QCommandLineParser& parser, bool headless);
    bool Active() const { return mActive; }

    // Sets DID and Password on the control, starts the view and arms the timers that end
    // a timed run (and take the screenshot).
    void Begin(ControlSite* control, HostApi* host, QWidget* window);
    // The program's exit code given the event loop's: a timed run passes when the status
    // reached "Running..." and pane 3 showed frames.
    int Result(int loopCode) const;

    // Stops the children (SIGTERM, then SIGKILL after a grace period).
    void StopChildren();

private:
    pid_t Spawn(const QStringList& argv, const QString& outFile, const QString& errFile);
    QString FindSibling(const QString& name) const;
    void SeePaneText(int pane, const QString& text);

    struct Reporter {
        void PrintLine(const QString& kind, const QString& text);
        QStringList mLines;
        bool mFailing = true;
    };

    QCommandLineOption mDemoOption;
    QCommandLineOption mSecondsOption;
    QCommandLineOption mScreenshotOption;
    QCommandLineOption mRelayOption;
    bool mActive = false;
    bool mHeadless = false;
    int mSeconds = 0;
    QString mScreenshot;
    std::unique_ptr<QTemporaryDir> mDir;
    pid_t mService = -1;
    pid_t mDevice = -1;
    bool mSawRunning = false;
    double mBestFps = 0.0;
    bool mScreenshotFailed = false;
    HostApi* mHost = nullptr;
    Reporter mReporter;
};

}  // namespace zevo
