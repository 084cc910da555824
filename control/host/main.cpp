// zevo-host: a container for the viewer control. It creates controls by their ProgID
// through the per-user hive and the module it names, embeds them in its window (one, or
// a grid of N), and drives them only through dispatch: from buttons for every member,
// or from a script.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJSEngine>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSize>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/settings.h"
#include "control/host/control_site.h"
#include "control/host/demo.h"
#include "control/host/host_script.h"
#include "control/host/viewer_probe.h"
#include "platform/folder_dialog.h"
#include "platform/message_box.h"

using namespace zevo;

namespace {

QPushButton* AddButton(QHBoxLayout* row, const QString& label, QObject* context,
                       std::function<void()> action) {
    auto* button = new QPushButton(label);
    QObject::connect(button, &QPushButton::clicked, context, std::move(action));
    row->addWidget(button);
    return button;
}

// Where a build tree keeps the module and the registration tool, beside this program.
QString RegisterHint() {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString module = QDir::cleanPath(dir + QStringLiteral("/../zevoplayerocx.so"));
    const QString tool = QDir::cleanPath(dir + QStringLiteral("/../../tools/regsvr/zevo-regsvr"));
    // Installed by the package, the module has a fixed place.
    const QString installed = QStringLiteral(ZEVO_INSTALLED_MODULE);
    return QStringLiteral("%1 %2").arg(
        QFileInfo::exists(tool) ? tool : QStringLiteral("zevo-regsvr"),
        QFileInfo::exists(module)
            ? module
            : (QFileInfo::exists(installed) ? installed
                                            : QStringLiteral("/path/to/zevoplayerocx.so")));
}

// The window's controls: every member of the dispatch interface on the chosen control,
// the three properties and the property page.
void AddMemberPanel(QVBoxLayout* layout, const std::vector<ControlSite*>& sites, HostApi* host,
                    QWidget* window) {
    auto* target = new QSpinBox;
    target->setRange(0, static_cast<int>(sites.size()) - 1);
    target->setPrefix(QStringLiteral("control "));
    auto site = [sites, target] { return sites[static_cast<size_t>(target->value())]; };
    auto call = [site, host](const QString& name, const QVariantList& args) {
        ControlSite* s = site();
        const QVariant result = s->call(s->idOfName(name), args);
        host->log(QStringLiteral("%1 = %2").arg(name, result.toString()));
    };

    auto* methods = new QHBoxLayout;
    methods->addWidget(target);
    for (const char* name : {"StartAV", "StopAV", "Snapshot", "StartRecord", "StopRecord",
                             "SelectPath", "GetEmailAlert"}) {
        const QString member = QString::fromLatin1(name);
        AddButton(methods, member, window, [call, member] { call(member, {}); });
    }
    auto* camera = new QSpinBox;
    camera->setRange(-1, 63);
    methods->addWidget(camera);
    AddButton(methods, QStringLiteral("ChgSelection"), window,
              [call, camera] { call(QStringLiteral("ChgSelection"), {camera->value()}); });
    AddButton(methods, QStringLiteral("Alert on"), window,
              [call] { call(QStringLiteral("SetEmailAlert"), {true}); });
    AddButton(methods, QStringLiteral("Alert off"), window,
              [call] { call(QStringLiteral("SetEmailAlert"), {false}); });
    layout->addLayout(methods);

    auto* properties = new QHBoxLayout;
    std::vector<std::pair<QString, QLineEdit*>> edits;
    for (const char* name : {"DID", "Password", "SavePath"}) {
        auto* edit = new QLineEdit;
        properties->addWidget(new QLabel(QString::fromLatin1(name)));
        properties->addWidget(edit, 1);
        edits.emplace_back(QString::fromLatin1(name), edit);
    }
    auto refresh = [site, edits] {
        ControlSite* s = site();
        for (const auto& [name, edit] : edits) edit->setText(s->get(s->idOfName(name)).toString());
    };
    AddButton(properties, QStringLiteral("Set"), window, [site, edits] {
        ControlSite* s = site();
        for (const auto& [name, edit] : edits) s->put(s->idOfName(name), edit->text());
    });
    AddButton(properties, QStringLiteral("Properties..."), window,
              [site] { site()->showProperties(); });
    QObject::connect(target, &QSpinBox::valueChanged, window, refresh);
    refresh();
    layout->addLayout(properties);
}

// Qt's own start-up warnings that say nothing to a user of this program (no runtime
// folder, a platform plugin without size hints); --verbose shows them.
QtMessageHandler gQtHandler = nullptr;
bool gVerbose = false;

void QuietStartupNoise(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!gVerbose && type == QtWarningMsg &&
        (text.contains(QLatin1String("XDG_RUNTIME_DIR")) ||
         text.contains(QLatin1String("propagateSizeHints")))) {
        return;
    }
    gQtHandler(type, context, text);
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("zevo-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEVO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Embeds and scripts the ZEVO2 viewer control."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption didOption(QStringLiteral("did"), QStringLiteral("Device identifier."),
                                       QStringLiteral("DID"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"), QStringLiteral("Device password."), QStringLiteral("PASSWORD"));
    const QCommandLineOption savePathOption(QStringLiteral("save-path"),
                                            QStringLiteral("Folder for captures."),
                                            QStringLiteral("PATH"));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("No screen; message boxes are answered at once."));
    const QCommandLineOption scriptOption(QStringLiteral("script"),
                                          QStringLiteral("JavaScript file to run."),
                                          QStringLiteral("FILE.js"));
    const QCommandLineOption gridOption(QStringLiteral("grid"),
                                        QStringLiteral("Embed N controls at once (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption selectPathOption(
        QStringLiteral("select-path-answer"),
        QStringLiteral("Answers the save folder dialog with FOLDER, or cancels it with "
                       "\"cancel\" (for scripted runs)."),
        QStringLiteral("FOLDER"));
    const QCommandLineOption reconnectOption(
        QStringLiteral("reconnect"),
        QStringLiteral("Sets the viewer's AutoReconnect: a lost session is opened again by "
                       "itself until StopAV."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Also show Qt's start-up warnings and the sound library's own errors."));
    const QCommandLineOption sizeOption(
        QStringLiteral("size"),
        QStringLiteral("Window size in pixels (default 800x620, or 1280x860 with --grid)."),
        QStringLiteral("WxH"));
    parser.addOptions({didOption, passwordOption, savePathOption, headlessOption, scriptOption,
                       gridOption, selectPathOption, reconnectOption, verboseOption, sizeOption});
    Demo demo;
    demo.AddOptions(parser);

    // Parsed before any application object: help, version and usage errors must work
    // with no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "zevo-host: %s\nTry 'zevo-host --help'.\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        QCoreApplication core(argc, argv);
        const QString text =
            parser.isSet(helpOption)
                ? parser.helpText()
                : QStringLiteral("zevo-host %1\n").arg(QStringLiteral(ZEVO_VERSION));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    bool gridOk = false;
    const int count = parser.value(gridOption).toInt(&gridOk);
    if (!gridOk || count < 1 || count > 64) {
        std::fprintf(stderr, "zevo-host: --grid takes a number from 1 to 64\n");
        return 2;
    }

    QSize windowSize(count == 1 ? 800 : 1280, count == 1 ? 620 : 860);
    if (parser.isSet(sizeOption)) {
        const QStringList parts = parser.value(sizeOption).split(QLatin1Char('x'));
        bool widthOk = false;
        bool heightOk = false;
        if (parts.size() == 2) {
            windowSize = QSize(parts[0].toInt(&widthOk), parts[1].toInt(&heightOk));
        }
        if (!widthOk || !heightOk || windowSize.width() < 1 || windowSize.height() < 1 ||
            windowSize.width() > 16384 || windowSize.height() > 16384) {
            std::fprintf(stderr, "zevo-host: --size takes WIDTHxHEIGHT in pixels, e.g. 1280x742\n");
            return 2;
        }
    }

    gVerbose = parser.isSet(verboseOption);
    gQtHandler = qInstallMessageHandler(QuietStartupNoise);
    // The control module reads it: ALSA's own error lines instead of our one line.
    if (gVerbose) qputenv("ZEVO_VERBOSE", "1");

    bool headless = parser.isSet(headlessOption) || Demo::WantsHeadless(argc, argv);
    if (!headless && !HasDisplay()) {
        std::fprintf(stderr,
                     "zevo-host: no display (DISPLAY and WAYLAND_DISPLAY are not set); run it "
                     "in a desktop session, or with --headless\n");
        return 1;
    }
    if (headless) qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);

    // The controls read their settings as they are created.
    if (parser.isSet(reconnectOption)) {
        zevo::RegistryKey key(zevo::REGKEY_CREATE);
        if (key.Open(zevo::SETTINGS_KEY, zevo::HKEY_CURRENT_USER,
                     zevo::KEY_QUERY_VALUE | zevo::KEY_SET_VALUE, 0)) {
            key.Lookup(zevo::SETTINGS_VALUE_AUTO_RECONNECT)->SetDword(1);
            key.Close();
        }
    }

    // Before the controls exist: their windows initialise the transport on creation.
    if (!demo.Start(parser, headless)) return 1;

    QWidget window;
    window.setWindowTitle(QStringLiteral("ZEVO2 Player"));
    window.resize(windowSize);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    layout->addLayout(grid, 1);
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));

    std::vector<std::unique_ptr<ControlSite>> sites;
    for (int i = 0; i < count; ++i) {
        QString error;
        std::unique_ptr<ControlSite> site =
            ControlSite::Create(QString::fromLatin1(kControlProgId), &window, &error);
        if (!site) {
            std::fprintf(stderr,
                         "zevo-host: %s.\nThe viewer control is registered per user; register "
                         "it with:\n  %s\n",
                         error.toUtf8().constData(), RegisterHint().toUtf8().constData());
            return 1;
        }
        grid->addWidget(site->Window(), i / columns, i % columns);
        sites.push_back(std::move(site));
    }
    std::vector<ControlSite*> plain;
    for (const auto& s : sites) plain.push_back(s.get());

    QJSEngine engine;
    HostApi host(plain, &engine);
    ViewerProbe viewer(plain[0]);
    engine.globalObject().setProperty(QStringLiteral("viewer"), engine.newQObject(&viewer));
    QJSEngine::setObjectOwnership(&viewer, QJSEngine::CppOwnership);
    // Without a screen nobody could answer the folder dialog: it is cancelled unless the
    // command line gives the answer.
    if (headless || parser.isSet(selectPathOption)) {
        const QString answer = parser.isSet(selectPathOption) ? parser.value(selectPathOption)
                                                              : QStringLiteral("cancel");
        SetFolderDialogHook([answer, &host](const QString& title,
                                            const QString& statusLine) -> std::optional<QString> {
            host.PrintLine(QStringLiteral("folder"),
                           QStringLiteral("%1 %2 -> %3").arg(title, statusLine, answer));
            if (answer == QLatin1String("cancel")) return std::nullopt;
            return answer;
        });
    }
    if (headless) {
        SetMessageBoxHook([&host](const QString& caption, const QString& text) {
            host.RecordMessageBox(caption, text);
        });
    }
    for (size_t i = 0; i < plain.size(); ++i) {
        // The first control keeps the plain names; the others are numbered.
        const QString suffix = i == 0 ? QString() : QStringLiteral("#%1").arg(i);
        QObject::connect(plain[i], &ControlSite::PaneTextChanged, &host,
                         [&host, suffix](int pane, const QString& text) {
                             if (pane == 0) host.PrintLine(QStringLiteral("pane0") + suffix, text);
                         });
        // Texts that a later one replaced before they could be shown are still worth
        // reading in a transcript.
        QObject::connect(plain[i], &ControlSite::StatusMessageQueued, &host,
                         [&host, suffix](const QString& text) {
                             host.PrintLine(QStringLiteral("status") + suffix, text);
                         });
        host.PrintLine(QStringLiteral("pane0") + suffix, plain[i]->paneText(0));
    }

    // As a host page would: the properties are set before the first start.
    for (ControlSite* site : plain) {
        for (const auto& [option, name] :
             {std::pair{&didOption, "DID"}, std::pair{&passwordOption, "Password"},
              std::pair{&savePathOption, "SavePath"}}) {
            if (parser.isSet(*option)) {
                site->put(site->idOfName(QString::fromLatin1(name)), parser.value(*option));
            }
        }
    }

    int exitCode = 0;
    if (!parser.isSet(scriptOption)) {
        AddMemberPanel(layout, plain, &host, &window);
        demo.Begin(plain[0], &host, &window);
        window.show();
        exitCode = demo.Result(QApplication::exec());
    } else {
        DefineScriptObjects(&engine, &host);
        window.show();
        QTimer::singleShot(0, &app, [&] {
            exitCode = RunHostScript(parser.value(scriptOption), &host, &engine);
            QApplication::exit(exitCode);
        });
        QApplication::exec();
    }
    // The controls' destruction runs here, each with its player's whole shut-down order.
    sites.clear();
    SetMessageBoxHook({});
    SetFolderDialogHook({});
    return exitCode;
}
