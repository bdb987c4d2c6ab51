// arv300: the acquisition program of the ARV300 push-broom hyperspectral imager.
#include "app/AcquireCommand.h"
#include "app/AppOptions.h"
#include "app/ConvertCommand.h"
#include "app/QtUserPrompts.h"
#include "app/stratadlg.h"
#include "core/Signals.h"
#include "core/UserPrompts.h"
#include "display/ClientArea.h"
#include "display/Drawing.h"
#include "preview/CScrollingPreviewDlg.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"

#include <algorithm>
#include <chrono>
#include <clocale>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMouseEvent>
#include <QSlider>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// Display settings asked for on the command line (screenshots of particular views).
void ApplyDisplayOptions(CStrataDlg& dlg, const AppOptions& o) {
    if (o.imageScaleMin >= 0) {
        FindControl<QCheckBox>(&dlg, IDC_IMAGE_SCALE)->setChecked(true);
        FindControl<QSlider>(&dlg, IDC_MIN_SLIDER)->setValue(o.imageScaleMin);
        FindControl<QSlider>(&dlg, IDC_MAX_SLIDER)->setValue(o.imageScaleMax);
    }
    const int lists[3] = {IDC_RED_LIST, IDC_GREEN_LIST, IDC_BLUE_LIST};
    for (int i = 0; i < 3; ++i)
        if (o.rgb[i] >= 0)
            FindControl<QComboBox>(&dlg, lists[i])->setCurrentIndex(o.rgb[i]);
    if (o.color)
        FindControl<QCheckBox>(&dlg, IDC_COLOR)->click();
    if (o.showSaturation)
        FindControl<QCheckBox>(&dlg, IDC_SHOW_SATURATION)->click();
    auto* client = dlg.findChild<ClientArea*>();
    auto send = [client](QEvent::Type type, Qt::MouseButton button, int x, int y) {
        const QPointF p(x + ClientArea::kPictureX, y);
        QMouseEvent e(type, p, client->mapToGlobal(p), button, button, Qt::NoModifier);
        QCoreApplication::sendEvent(client, &e);
    };
    if (o.refX >= 0)
        send(QEvent::MouseButtonPress, Qt::LeftButton, o.refX, o.refY);
    if (o.probeX >= 0)
        send(QEvent::MouseMove, Qt::NoButton, o.probeX, o.probeY);
    WhiteRect white;
    std::string ignored;
    if (!o.white.empty() && ParseWhiteRect(o.white, white, ignored)) {
        // The drag an operator makes: Shift held from one corner to the other (rows count the
        // stored samples from the bottom).
        auto drag = [client](QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons, int x,
                             int y) {
            const QPointF p(x + ClientArea::kPictureX, y);
            QMouseEvent e(type, p, client->mapToGlobal(p), button, buttons, Qt::ShiftModifier);
            QCoreApplication::sendEvent(client, &e);
        };
        drag(QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, white.line0, 519 - white.sample1);
        drag(QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, white.line1, 519 - white.sample0);
        drag(QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, white.line1, 519 - white.sample0);
    }
    dlg.UpdateImage();
}

// Saves the window as a PNG once ready (during or after an acquisition if asked), then closes it.
void ScheduleScreenshot(CStrataDlg& dlg, const AppOptions& options) {
    auto grab = [&dlg, options] {
        ApplyDisplayOptions(dlg, options);
        QTimer::singleShot(200, &dlg, [&dlg, path = options.screenshot, preview = options.previewScreenshot] {
            if (!dlg.grab().save(QString::fromStdString(path)))
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
            if (!preview.empty() && dlg.PreviewWindow() &&
                !dlg.PreviewWindow()->grab().save(QString::fromStdString(preview)))
                std::fprintf(stderr, "cannot write %s\n", preview.c_str());
            dlg.OnCommand(ID_TB_STOP);
            dlg.close();
        });
    };
    if (options.screenshotAfter.empty()) {
        QTimer::singleShot(300, &dlg, grab);
        return;
    }
    const std::string mode = options.screenshotAfter;
    const int line = options.screenshotLine;
    QTimer::singleShot(100, &dlg, [&dlg, mode, line, grab] {
        const int command = mode == "cube"   ? ID_TB_START_CUBE
                            : mode == "dark" ? ID_TB_COLLECT_DARK
                                             : ID_TB_SPECTRAL_DISPLAY;
        dlg.OnCommand(command);
        // A scan ends by itself (or reaches the asked line); the live display is shown for a second.
        auto* poll = new QTimer(&dlg);
        const auto started = std::chrono::steady_clock::now();
        QObject::connect(poll, &QTimer::timeout, &dlg, [&dlg, poll, mode, line, grab, started] {
            const AcquisitionEngine& e = dlg.Engine();
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const bool done = mode == "spectral" ? s > 1.5
                              : line >= 0        ? (e.LineIndex() >= line || !e.Busy())
                                                 : !e.Busy();
            if (done || s > 120) {
                poll->stop();
                grab();
            }
        });
        poll->start(20);
    });
}
} // namespace

// "arv300 acquire ..." and "arv300 convert ...": no window; a QGuiApplication on the offscreen
// platform draws the movie's labels. Parses the command's arguments (help and bad arguments are answered
// here, bad ones with the command's own exit code), changes to --workdir, starts the toolkit without a window
// and runs it.
template <class Run> int CommandMain(int argc, char** argv, int badArguments, Run run) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    AppOptions options;
    std::string error;
    if (!ParseAppOptions(args, options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return badArguments;
    }
    if (options.help) {
        std::fputs(AppOptionsHelp().c_str(), stdout);
        return 0;
    }
    if (!ApplyWorkingDirectory(options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return badArguments;
    }
    EnsureGuiApplication();
    // The toolkit takes the user's locale for the C library as well; the files need a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    return run(options);
}

int main(int argc, char** argv) {
    // A file-size limit makes a save fail with its message instead of ending the program.
    IgnoreFileSizeLimitSignal();
    if (argc > 1 && std::strcmp(argv[1], "acquire") == 0)
        return CommandMain(argc, argv, kAcquireBadArguments,
                           [](const AppOptions& o) { return RunAcquire(o); });
    if (argc > 1 && std::strcmp(argv[1], "convert") == 0)
        return CommandMain(argc, argv, kConvertBadArguments,
                           [](const AppOptions& o) { return RunConvert(o); });
    // The options are read before the application object exists, so that --help and bad arguments
    // need no display. Qt's own options (-platform ...) are only known to the application object:
    // when the first reading fails, the arguments are read again once it has taken them out.
    AppOptions options;
    std::string error;
    QStringList raw;
    for (int i = 0; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    const bool parsed = ParseAppOptions(raw, options, error);
    if (parsed && options.help) {
        std::fputs(AppOptionsHelp().c_str(), stdout);
        return 0;
    }
    const bool qtOptions = std::any_of(raw.begin() + 1, raw.end(), [](const QString& a) {
        return a.size() > 1 && a[0] == '-' && a[1] != '-' && a != "-h";
    });
    if (!parsed && !qtOptions) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    QApplication app(argc, argv);
    // The toolkit takes the user's locale for the C library as well; the files need a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName("Strata");
    if (!parsed) {
        options = AppOptions{};
        if (!ParseAppOptions(QApplication::arguments(), options, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
        if (options.help) {
            std::fputs(AppOptionsHelp().c_str(), stdout);
            return 0;
        }
    }
    if (!ApplyWorkingDirectory(options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }

    std::unique_ptr<UserPrompts> prompts;
    if (options.nonInteractive)
        prompts = std::make_unique<NonInteractivePrompts>();
    else
        prompts = std::make_unique<QtUserPrompts>();

    int exitCode = 0;
    {
        CStrataDlg dlg(*prompts, StrataOptions{options.devices, options.quitWhenReady});
        if (auto* qt = dynamic_cast<QtUserPrompts*>(prompts.get()))
            qt->SetOwner(&dlg);
        dlg.show();
        const int init = dlg.OnInitDialog();
        for (const std::string& note : dlg.Devices().Notes())
            std::fprintf(stderr, "%s\n", note.c_str());
        if (init != 0) {
            // No data camera: stop every thread, then end with the code of -1.
            dlg.ExitApplication();
            exitCode = 255;
        } else {
            if (options.quitWhenReady)
                QTimer::singleShot(0, &dlg, [&dlg] {
                    // The status panes at that moment, for scripts: "Ready | COM1 Connected".
                    std::printf("%s | %s\n", dlg.StatusText(2).toUtf8().constData(),
                                dlg.StatusText(3).toUtf8().constData());
                    std::fflush(stdout);
                    dlg.close();
                });
            if (!options.screenshot.empty())
                ScheduleScreenshot(dlg, options);
            exitCode = app.exec();
        }
        dlg.ExitApplication();
    }
    return exitCode;
}
