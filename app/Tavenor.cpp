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
#include <cstring>
#include <string>

#include "app/Station.h"
#include "app/TavenorDlg.h"
#include "app/QtEventSink.h"

namespace {

std::atomic<bool> gStopRequested{false};
extern "C" void OnStopSignal(int) { gStopRequested = true; }

void PrintHelp()
{
    std::printf(
        "Usage: tavenor [--port N] [--allow CIDR[,CIDR...]] [--bind ADDR] [--help]\n"
        "Monitoring station for networked tri-axial vibration sensors.\n"
        "Sensors connect as TCP clients to this machine on the given port.\n\n"
        "  --port N   TCP port to listen on (default 22009). Use another port to run a\n"
        "             second station beside a first one.\n"
        "  --allow CIDR[,CIDR...]\n"
        "             Serve only connections from these IPv4 addresses or networks\n"
        "             (e.g. 192.168.1.0/24,10.0.5.17); others are closed at once.\n"
        "             Overrides [access] allow of station.toml. A bad entry admits nobody.\n"
        "  --bind ADDR\n"
        "             Listen on this local IPv4 address only (default: all). Overrides\n"
        "             [access] bind of station.toml.\n"
        "  --help     Show this text.\n\n"
        "Files: devicepara.dat and sensorcodes.conf are read from the folder the station\n"
        "is started in; recordings and logs are written to its data/ folder.\n"
        "Without a display (no DISPLAY or WAYLAND_DISPLAY) the station runs on Qt's\n"
        "offscreen platform and keeps serving sensors.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    tav::StationOptions options;
    const char *allowArg = nullptr, *bindArg = nullptr;
    for (int i = 1; i < argc; ++i) {
        if ((!std::strcmp(argv[i], "--allow") || !std::strcmp(argv[i], "--bind")) && i + 1 < argc) {
            (argv[i][2] == 'a' ? allowArg : bindArg) = argv[i + 1];
            ++i;
            continue;
        }
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            PrintHelp();
            return 0;
        }
        if (!std::strcmp(argv[i], "--port") && i + 1 < argc) {
            char *end = nullptr;
            long port = std::strtol(argv[++i], &end, 10);
            if (!end || *end || port < 0 || port > 65535) {
                std::fprintf(stderr, "tavenor: --port needs a number from 0 to 65535\n");
                return 2;
            }
            options.port = int(port);
            continue;
        }
        std::fprintf(stderr, "tavenor: unknown option %s (try --help)\n", argv[i]);
        return 2;
    }

    // station.toml in the start folder; the command line above wins over it.
    std::vector<std::string> settingsMessages;
    {
        tav::StationSettings fromFile = tav::LoadStationSettings(tav::kStationSettingsFileName, &settingsMessages);
        options.settings = fromFile;
    }
    if (allowArg) {
        options.settings.access.allow = tav::SplitCommaList(allowArg);
        options.settings.access.allowGiven = true;
        options.settings.access.allowFrom = "--allow";
    }
    if (bindArg) {
        options.settings.access.bind = bindArg;
        options.settings.access.bindFrom = "--bind";
    }

    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::printf("tavenor: no display found, running on Qt's offscreen platform\n");
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QApplication app(argc, argv);
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
