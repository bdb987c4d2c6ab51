// arv300: the acquisition program of the ARV300 push-broom hyperspectral imager.
#include "app/AppOptions.h"
#include "app/QtUserPrompts.h"
#include "app/stratadlg.h"
#include "core/UserPrompts.h"
#include "resources/resource.h"

#include <chrono>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {
// Saves the window as a PNG once ready (after an acquisition if asked), then closes it.
void ScheduleScreenshot(CStrataDlg& dlg, const AppOptions& options) {
    auto grab = [&dlg, path = options.screenshot] {
        if (!dlg.grab().save(QString::fromStdString(path)))
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
        dlg.close();
    };
    if (options.screenshotAfter.empty()) {
        QTimer::singleShot(300, &dlg, grab);
        return;
    }
    const std::string mode = options.screenshotAfter;
    QTimer::singleShot(100, &dlg, [&dlg, mode, grab] {
        const int command = mode == "cube" ? ID_TB_START_CUBE : mode == "dark" ? ID_TB_COLLECT_DARK : ID_TB_SPECTRAL_DISPLAY;
        dlg.OnCommand(command);
        // A scan ends by itself; the live display is shown for a second and stopped.
        auto* poll = new QTimer(&dlg);
        const auto started = std::chrono::steady_clock::now();
        QObject::connect(poll, &QTimer::timeout, &dlg, [&dlg, poll, mode, grab, started] {
            const bool spectral = mode == "spectral";
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if ((spectral && s > 1.5) || (!spectral && !dlg.Engine().m_busy.load()) || s > 120) {
                poll->stop();
                if (spectral)
                    dlg.OnCommand(ID_TB_STOP);
                QTimer::singleShot(400, &dlg, grab);
            }
        });
        poll->start(50);
    });
}
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Strata");
    AppOptions options;
    std::string error;
    if (!ParseAppOptions(QApplication::arguments(), options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(AppOptionsHelp().c_str(), stdout);
        return 0;
    }
    if (!ApplyWorkingDirectory(options, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    SimulatedInstrument sim(options);

    std::unique_ptr<UserPrompts> prompts;
    if (options.nonInteractive)
        prompts = std::make_unique<NonInteractivePrompts>();
    else
        prompts = std::make_unique<QtUserPrompts>();

    int exitCode = 0;
    {
        CStrataDlg dlg(*prompts, StrataOptions{options.simulate, options.quitWhenReady});
        if (auto* qt = dynamic_cast<QtUserPrompts*>(prompts.get()))
            qt->SetOwner(&dlg);
        dlg.show();
        if (dlg.OnInitDialog() != 0) {
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
