#include "control/host/demo.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "control/host/control_site.h"
#include "control/host/host_script.h"
#include "p2p/secure/key_files.h"

extern char** environ;

namespace zevo {

namespace {

// The children a signal handler must stop; written before the handlers are installed.
volatile sig_atomic_t gChildren[2] = {0, 0};
// The event loop learns of a signal through this pipe and ends the host in order.
int gSignalPipe[2] = {-1, -1};

void OnTerminatingSignal(int sig) {
    for (const sig_atomic_t pid : gChildren) {
        if (pid > 0) kill(static_cast<pid_t>(pid), SIGTERM);
    }
    const auto byte = static_cast<unsigned char>(sig);
    if (gSignalPipe[1] < 0 || write(gSignalPipe[1], &byte, 1) != 1) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
}

void InstallSignalHandlers() {
    if (gSignalPipe[0] < 0 && pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gSignalPipe[0] = gSignalPipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminatingSignal;
    // A second signal while the host winds down ends it at once.
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// Runs a short tool to its end; its standard output, trimmed, or empty on failure.
QString RunTool(const QString& program, const QStringList& args) {
    QProcess tool;
    tool.start(program, args);
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        tool.kill();
        tool.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

QString ReadTrimmed(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

}  // namespace

// Lines of the start-up, printed to the transcript once it exists; a failure goes to
// standard error at once since the host then ends.
void Demo::Reporter::PrintLine(const QString&, const QString& text) {
    mLines << text;
    if (mFailing) std::fprintf(stderr, "zevo-host --demo: %s\n", qPrintable(text));
}

namespace {

// Waits for pid's end up to ms; true when it ended (and was reaped).
bool WaitChild(pid_t pid, int ms) {
    for (int waited = 0;; waited += 20) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || r < 0) return true;
        if (waited >= ms) return false;
        usleep(20000);
    }
}

// Each camera: pattern, tone and audio coding, so switching cameras shows and sounds
// different.
const char* const kCameraSettings[Demo::kCameras] = {
    "source=test:smpte,tone_freq=440,audio_codec=adpcm",
    "source=test:ball,tone_freq=554,audio_codec=pcm",
    "source=test:checkers-8,tone_freq=659,audio_codec=adpcm",
    "source=test:circular,tone_freq=880,audio_codec=pcm",
};

}  // namespace

Demo::Demo()
    : mDemoOption(QStringLiteral("demo"),
                  QStringLiteral("Start a loopback service and a test device and view it.")),
      mSecondsOption(QStringLiteral("demo-seconds"),
                     QStringLiteral("End the demo after N seconds (0: run until closed; "
                                    "8 when headless)."),
                     QStringLiteral("N")),
      mScreenshotOption(QStringLiteral("screenshot"),
                        QStringLiteral("At the end of a timed demo, save the window as FILE."),
                        QStringLiteral("FILE")),
      mRelayOption(QStringLiteral("demo-relay"),
                   QStringLiteral("The demo's service relays every session.")) {}

Demo::~Demo() {
    StopChildren();
}

bool Demo::WantsHeadless(int argc, char** argv) {
    bool demo = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--demo") == 0) demo = true;
    }
    if (!demo) return false;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return false;  // the user chose
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return !(display && *display) && !(wayland && *wayland);
}

void Demo::AddOptions(QCommandLineParser& parser) const {
    parser.addOptions({mDemoOption, mSecondsOption, mScreenshotOption, mRelayOption});
}

QString Demo::FindSibling(const QString& name) const {
    const QDir here(QCoreApplication::applicationDirPath());
    // Installed side by side, or the build tree (control/host next to p2p and device).
    for (const QString& relative :
         {QStringLiteral("."), QStringLiteral("../p2p"), QStringLiteral("../../p2p"),
          QStringLiteral("../device"), QStringLiteral("../../device")}) {
        const QString candidate = QDir::cleanPath(here.filePath(relative + "/" + name));
        if (QFileInfo(candidate).isExecutable()) return candidate;
    }
    return QStandardPaths::findExecutable(name);
}

pid_t Demo::Spawn(const QStringList& argv, const QString& outFile, const QString& errFile) {
    // Everything the child needs is prepared before fork: after it only async-signal-safe
    // calls are allowed.
    std::vector<QByteArray> storage;
    for (const QString& arg : argv) storage.push_back(arg.toLocal8Bit());
    std::vector<char*> args;
    for (QByteArray& arg : storage) args.push_back(arg.data());
    args.push_back(nullptr);
    const QByteArray out = outFile.toLocal8Bit();
    const QByteArray err = errFile.toLocal8Bit();
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child ends when the host dies, however it dies.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int outFd = open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int errFd = open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
    if (errFd >= 0) dup2(errFd, STDERR_FILENO);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
    // The host's own handlers must not run in the child.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    execve(args[0], args.data(), environ);
    _exit(127);
}

bool Demo::Start(const QCommandLineParser& parser, bool headless) {
    if (!parser.isSet(mDemoOption)) return true;
    mActive = true;
    mHeadless = headless;
    Reporter* host = &mReporter;
    mSeconds = headless ? 8 : 0;
    if (parser.isSet(mSecondsOption)) {
        bool ok = false;
        const int seconds = parser.value(mSecondsOption).toInt(&ok);
        if (!ok || seconds < 0) {
            host->PrintLine(QStringLiteral("demo"), QStringLiteral("bad --demo-seconds"));
            return false;
        }
        mSeconds = seconds;
    }
    mScreenshot = parser.value(mScreenshotOption);
    if (!mScreenshot.isEmpty() && mSeconds == 0) mSeconds = 8;

    const QString service = FindSibling(QStringLiteral("zevo-p2pd"));
    const QString device = FindSibling(QStringLiteral("zevo-camd"));
    if (service.isEmpty() || device.isEmpty()) {
        host->PrintLine(QStringLiteral("demo"),
                        QStringLiteral("zevo-p2pd or zevo-camd not found next to %1 or on PATH")
                            .arg(QCoreApplication::applicationDirPath()));
        return false;
    }
    mDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/zevo-demo-XXXXXX");
    if (!mDir->isValid()) {
        host->PrintLine(QStringLiteral("demo"), QStringLiteral("cannot create a temporary folder"));
        return false;
    }
    const QString dir = mDir->path();
    const QString key = QStringLiteral("demo-key-%1").arg(getpid());
    InstallSignalHandlers();

    const QString secret =
        RunTool(service, {"--key", key, "--device-secret", QString::fromLatin1(kDid)});
    if (secret.isEmpty()) {
        host->PrintLine(QStringLiteral("demo"),
                        QStringLiteral("no device secret from %1").arg(service));
        return false;
    }

    // Sessions run sealed: the service vouches for the device with a seed of this demo's
    // own, and the viewer pins its public key.
    const QString seed = dir + "/service.seed";
    const QString pins = dir + "/pinned-keys";
    zevo::p2p::secure::ServicePublicKey serviceKey;
    std::string keyError;
    if (!zevo::p2p::secure::CreateServiceSeedFile(seed.toStdString(), &serviceKey, &keyError)) {
        host->PrintLine(QStringLiteral("demo"),
                        QStringLiteral("no signing key: %1").arg(QString::fromStdString(keyError)));
        return false;
    }
    QFile pinned(pins);
    if (!pinned.open(QIODevice::WriteOnly) ||
        pinned.write((zevo::p2p::secure::FormatPinnedKey(serviceKey) + "\n").c_str()) < 0) {
        host->PrintLine(QStringLiteral("demo"), QStringLiteral("cannot write %1").arg(pins));
        return false;
    }
    pinned.close();

    QStringList serviceArgs = {service,       "--listen",           "127.0.0.1:0",
                               "--port-file", dir + "/p2pd.port",   "--key",
                               key,           "--signing-key-file", seed};
    if (parser.isSet(mRelayOption)) serviceArgs << "--force-relay";
    mService = Spawn(serviceArgs, dir + "/p2pd.out", dir + "/p2pd.log");
    if (mService < 0) return false;
    gChildren[0] = mService;
    QString port;
    for (int i = 0; i < 500 && port.isEmpty(); ++i) {
        port = ReadTrimmed(dir + "/p2pd.port");
        if (port.isEmpty()) QThread::msleep(20);
    }
    if (port.isEmpty()) {
        host->PrintLine(
            QStringLiteral("demo"),
            QStringLiteral("zevo-p2pd did not start: %1").arg(ReadTrimmed(dir + "/p2pd.log")));
        return false;
    }
    const QString server = QStringLiteral("127.0.0.1:") + port;
    const QString initString = RunTool(service, {"--init-string", server});
    // The transport library reads the service's address from here when it initialises.
    qputenv("ZEVO_P2P_SERVER", server.toLatin1());

    QStringList deviceArgs = {device,
                              "--did",
                              QString::fromLatin1(kDid),
                              "--secret",
                              secret,
                              "--password",
                              QString::fromLatin1(kPassword),
                              "--server",
                              server,
                              "--state-file",
                              dir + "/camd.state",
                              "--cameras",
                              QString::number(kCameras)};
    if (!initString.isEmpty()) deviceArgs << "--init-string" << initString;
    for (int i = 0; i < kCameras; ++i) {
        deviceArgs << "--camera" << QStringLiteral("%1:%2").arg(i).arg(kCameraSettings[i]);
    }
    mDevice = Spawn(deviceArgs, dir + "/camd.out", dir + "/camd.log");
    if (mDevice < 0) return false;
    qputenv("ZEVO_P2P_SERVICE_KEYS", pins.toLocal8Bit());
    gChildren[1] = mDevice;
    bool registered = false;
    for (int i = 0; i < 750 && !registered; ++i) {
        registered = ReadTrimmed(dir + "/camd.log").contains(QStringLiteral("registered"));
        if (!registered) {
            if (waitpid(mDevice, nullptr, WNOHANG) == mDevice) {
                gChildren[1] = 0;
                mDevice = -1;
                break;
            }
            QThread::msleep(20);
        }
    }
    if (!registered) {
        host->PrintLine(
            QStringLiteral("demo"),
            QStringLiteral("zevo-camd did not register: %1").arg(ReadTrimmed(dir + "/camd.log")));
        return false;
    }
    mReporter.mFailing = false;
    host->PrintLine(QStringLiteral("demo"), QStringLiteral("service %1, device %2 with %3 cameras")
                                                .arg(server, QString::fromLatin1(kDid))
                                                .arg(kCameras));
    return true;
}

void Demo::SeePaneText(int pane, const QString& text) {
    if (pane == 0 && text.startsWith(QStringLiteral("Running..."))) mSawRunning = true;
    if (pane != 3) return;
    if (mHost) mHost->PrintLine(QStringLiteral("pane3"), text);
    static const QRegularExpression fps(QStringLiteral("FPS:([0-9.]+)"));
    const QRegularExpressionMatch match = fps.match(text);
    if (match.hasMatch()) mBestFps = std::max(mBestFps, match.captured(1).toDouble());
}

void Demo::Begin(ControlSite* control, HostApi* host, QWidget* window) {
    if (!mActive) return;
    mHost = host;
    for (const QString& line : mReporter.mLines) host->PrintLine(QStringLiteral("demo"), line);
    // As any page would: through dispatch, by name.
    control->put(control->idOfName(QStringLiteral("DID")), QString::fromLatin1(kDid));
    control->put(control->idOfName(QStringLiteral("Password")), QString::fromLatin1(kPassword));
    QObject::connect(control, &ControlSite::PaneTextChanged, control,
                     [this](int pane, const QString& text) { SeePaneText(pane, text); });
    if (gSignalPipe[0] >= 0) {
        auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
        QObject::connect(notifier, &QSocketNotifier::activated, window, [host] {
            unsigned char sig = 0;
            if (read(gSignalPipe[0], &sig, 1) != 1) return;
            host->PrintLine(QStringLiteral("demo"), QStringLiteral("signal %1").arg(sig));
            QApplication::exit(128 + sig);
        });
    }
    QTimer::singleShot(100, control, [control] {
        control->call(control->idOfName(QStringLiteral("StartAV")), {});
    });
    if (mSeconds <= 0) return;
    QTimer::singleShot(mSeconds * 1000, window, [this, window, host] {
        if (!mScreenshot.isEmpty()) {
            const QPixmap shot = window->grab();
            mScreenshotFailed = shot.isNull() || !shot.save(mScreenshot);
            host->PrintLine(QStringLiteral("demo"),
                            QStringLiteral("screenshot %1 %2")
                                .arg(mScreenshot, mScreenshotFailed ? "failed" : "saved"));
        }
        host->PrintLine(QStringLiteral("demo"), QStringLiteral("%1 \"Running...\", best FPS %2")
                                                    .arg(mSawRunning ? "reached" : "did not reach")
                                                    .arg(mBestFps, 0, 'f', 2));
        QApplication::exit(0);
    });
}

int Demo::Result(int loopCode) const {
    if (!mActive || mSeconds <= 0) return loopCode;
    if (loopCode != 0) return loopCode;
    return mSawRunning && mBestFps > 0.0 && !mScreenshotFailed ? 0 : 1;
}

void Demo::StopChildren() {
    // The device first, so it leaves the service cleanly.
    for (pid_t* pid : {&mDevice, &mService}) {
        if (*pid <= 0) continue;
        kill(*pid, SIGTERM);
        if (!WaitChild(*pid, 3000)) {
            kill(*pid, SIGKILL);
            WaitChild(*pid, 3000);
        }
        *pid = -1;
    }
    gChildren[0] = 0;
    gChildren[1] = 0;
}

}  // namespace zevo
