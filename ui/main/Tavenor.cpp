// The station's entry point: command line, display platform, then the main
// window over one Station.
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/station/CommandLine.h"
#include "core/station/Station.h"
#include "ui/common/QtEventSink.h"
#include "ui/common/Translations.h"
#include "ui/main/TavenorDlg.h"

namespace {

std::atomic<bool> gStopRequested{false};
extern "C" void OnStopSignal(int) { gStopRequested = true; }

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    tav::StationOptions options;
    // station.toml in the start folder first: the command line wins over it.
    std::vector<std::string> settingsMessages;
    options.settings = tav::LoadStationSettings(tav::kStationSettingsFileName, &settingsMessages);
    std::string error;
    switch (tav::ParseCommandLine(argc, argv, &options, &error)) {
    case tav::CommandLineAction::Help:
        std::fputs(tav::CommandLineHelp(), stdout);
        return 0;
    case tav::CommandLineAction::Error:
        std::fprintf(stderr, "tavenor: %s\n", error.c_str());
        return 2;
    case tav::CommandLineAction::Run:
        break;
    }

    // Qt tries the platforms in order; offscreen comes last, so a display
    // that does not answer no longer aborts the station.
    const std::string platforms = tav::ChoosePlatforms([](const char *name) { return std::getenv(name); });
    if (!platforms.empty())
        setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);

    QApplication app(argc, argv);
    if (!platforms.empty() && QGuiApplication::platformName() == QLatin1String("offscreen"))
        std::printf("%s\n", tav::kNoDisplayNotice);
    if (!tav::ui::InstallQtTranslations(app))
        std::fprintf(stderr, "tavenor: Qt's Chinese translations (qt6-translations-l10n) are missing; "
                             "standard buttons show English texts\n");
    QApplication::setApplicationName(QStringLiteral("Tavenor"));
    QFont font(QStringLiteral("WenQuanYi Micro Hei"), 9);
    QApplication::setFont(font);

    tav::ui::QtEventSink sink;
    tav::Station station(options, sink);
    CTavenorDlg dlg(station);
    sink.SetTarget(&dlg);

    std::vector<std::string> messages = settingsMessages;
    int rc = station.Start(&messages);
    if (rc == 0)
        std::printf("tavenor: listening on port %d\n", station.Port());
    for (const auto &m : messages)
        std::fprintf(stderr, "tavenor: %s\n", m.c_str());
    dlg.Initialise(messages);
    dlg.show();
    // Ctrl-C or a terminating demo script closes the station as "退出" does.
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, &dlg, [&dlg] {
        if (gStopRequested)
            dlg.reject();
    });
    stopPoll.start(100);
    int result = app.exec();
    dlg.Shutdown();
    sink.Detach();
    std::printf("tavenor: stopped\n");
    return result == QDialog::Rejected ? 0 : result;
}
