// zevo-host: a container for the viewer control. It opens a window, creates the control
// over its client area and either shows a row of buttons for the methods or runs a
// script against it.
#include <QApplication>
#include <QCommandLineParser>
#include <QHBoxLayout>
#include <QJSEngine>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "capture/folder_browser.h"
#include "control/host/demo.h"
#include "control/host/host_script.h"
#include "control/host/viewer_probe.h"
#include "control/player_control.h"
#include "platform/message_box.h"

using namespace zevo;

namespace {

void AddButton(QHBoxLayout* row, const QString& label, QObject* context,
               std::function<void()> action) {
    auto* button = new QPushButton(label);
    QObject::connect(button, &QPushButton::clicked, context, std::move(action));
    row->addWidget(button);
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0) headless = true;
    }
    if (Demo::WantsHeadless(argc, argv)) headless = true;
    if (headless) qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zevo-host"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Embeds and scripts the ZEVO2 viewer control."));
    parser.addHelpOption();
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
    const QCommandLineOption selectPathOption(
        QStringLiteral("select-path-answer"),
        QStringLiteral("Answers the save folder dialog with FOLDER, or cancels it with "
                       "\"cancel\" (for scripted runs)."),
        QStringLiteral("FOLDER"));
    parser.addOptions({didOption, passwordOption, savePathOption, headlessOption, scriptOption,
                       selectPathOption});
    Demo demo;
    demo.AddOptions(parser);
    parser.process(app);

    // Before the control exists: its window initialises the transport on creation.
    if (!demo.Start(parser, headless)) return 1;

    QWidget window;
    window.setWindowTitle(QStringLiteral("ZEVO2 Player"));
    window.resize(800, 620);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* control = new PlayerControl(&window);
    layout->addWidget(control, 1);

    QJSEngine engine;
    HostApi host(control, &engine);
    ViewerProbe viewer(control);
    engine.globalObject().setProperty(QStringLiteral("viewer"), engine.newQObject(&viewer));
    QJSEngine::setObjectOwnership(&viewer, QJSEngine::CppOwnership);
    if (parser.isSet(selectPathOption)) {
        const QString answer = parser.value(selectPathOption);
        FolderBrowser::SetAnswerHook([answer,
                                      &host](FolderBrowser& browser) -> std::optional<QString> {
            host.PrintLine(QStringLiteral("folder"),
                           QStringLiteral("Save Path: %1 -> %2").arg(browser.StatusLine(), answer));
            if (answer == QLatin1String("cancel")) return std::nullopt;
            return answer;
        });
    }
    if (headless) {
        SetMessageBoxHook([&host](const QString& caption, const QString& text) {
            host.RecordMessageBox(caption, text);
        });
    }
    QObject::connect(control->Player(), &PlayerDialog::PaneTextChanged, &host,
                     [&host](int pane, const QString& text) {
                         if (pane == 0) host.PrintLine(QStringLiteral("pane0"), text);
                     });
    // Texts of ShowStatusMessage that a later one replaced before they could be shown
    // are still worth reading in a transcript.
    QObject::connect(
        control->Player(), &PlayerDialog::StatusMessageQueued, &host,
        [&host](const QString& text) { host.PrintLine(QStringLiteral("status"), text); });
    host.PrintLine(QStringLiteral("pane0"), control->Player()->PaneText(0));

    // As a host page would: the properties are set before the first start.
    if (parser.isSet(didOption)) control->SetDID(parser.value(didOption));
    if (parser.isSet(passwordOption)) control->SetPassword(parser.value(passwordOption));
    if (parser.isSet(savePathOption)) control->SetSavePath(parser.value(savePathOption));

    if (!parser.isSet(scriptOption)) {
        auto* row = new QHBoxLayout;
        auto* camera = new QSpinBox;
        camera->setRange(0, 63);
        AddButton(row, QStringLiteral("StartAV"), control, [control] { control->StartAV(); });
        AddButton(row, QStringLiteral("StopAV"), control, [control] { control->StopAV(); });
        row->addWidget(camera);
        AddButton(row, QStringLiteral("ChgSelection"), control,
                  [control, camera] { control->ChgSelection(camera->value()); });
        AddButton(row, QStringLiteral("Snapshot"), control, [control] { control->Snapshot(); });
        AddButton(row, QStringLiteral("StartRecord"), control,
                  [control] { control->StartRecord(); });
        AddButton(row, QStringLiteral("StopRecord"), control, [control] { control->StopRecord(); });
        AddButton(row, QStringLiteral("SelectPath"), control, [control, &host] {
            control->SelectPath();
            host.log(QStringLiteral("SavePath = %1").arg(control->GetSavePath()));
        });
        AddButton(row, QStringLiteral("GetEmailAlert"), control, [control, &host] {
            host.log(QStringLiteral("GetEmailAlert() = %1").arg(control->GetEmailAlert()));
        });
        AddButton(row, QStringLiteral("Alert on"), control, [control, &host] {
            host.log(QStringLiteral("SetEmailAlert(1) = %1").arg(control->SetEmailAlert(true)));
        });
        AddButton(row, QStringLiteral("Alert off"), control, [control, &host] {
            host.log(QStringLiteral("SetEmailAlert(0) = %1").arg(control->SetEmailAlert(false)));
        });
        layout->addLayout(row);
        demo.Begin(control, &host, &window);
        window.show();
        const int code = demo.Result(QApplication::exec());
        delete control;
        return code;
    }

    window.show();
    int exitCode = 0;
    QTimer::singleShot(0, &app, [&] {
        exitCode = RunHostScript(parser.value(scriptOption), control, &host, &engine);
        QApplication::exit(exitCode);
    });
    QApplication::exec();
    // The player window's destruction runs here, with its whole shut-down order.
    delete control;
    SetMessageBoxHook({});
    FolderBrowser::SetAnswerHook({});
    return exitCode;
}
