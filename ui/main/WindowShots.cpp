// tavenor-screenshots [folder]: starts the real station on an ephemeral port
// with four simulated sensors on loopback, lets them stream, and writes PNG
// images of the real windows (default folder docs/): the main window, the
// sensor parameter dialog after it has read its sensor, the machine settings
// dialog on sensor 1, the steady-state
// viewer, and the history trend over a month that a simulated clock wrote
// before the station started. Everything it writes besides the images goes
// to a scratch folder.
//
// On the way it checks that every window fits a 1280 x 720 screen (the
// offscreen platform is given one of that size): a window that opens larger,
// whose minimum size is larger, or that leaves a visible control outside
// itself at that size is named on stderr, and the program exits non-zero.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFont>
#include <QLineEdit>
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QFile>
#include <QMouseEvent>
#include <QSlider>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include <qcustomplot.h>

#include "core/history/HistoryWriter.h"
#include "core/station/Station.h"
#include "sim/DeviceRecords.h"
#include "sim/SimFleet.h"
#include "sim/SimOptions.h"
#include "ui/analysis/AnalysisDlg.h"
#include "ui/analysis/AnalysisPlot.h"
#include "ui/common/Controls.h"
#include "ui/common/QtEventSink.h"
#include "ui/common/ScreenFit.h"
#include "ui/common/SeriesBoxes.h"
#include "ui/common/Translations.h"
#include "ui/history/HistoryDialog.h"
#include "ui/main/AboutDlg.h"
#include "ui/main/AlarmControls.h"
#include "ui/main/TavenorDlg.h"

namespace {

// Runs the event loop for `ms`, so that timers, posted events and the
// simulated sensors all move on.
void Pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Pred>
bool PumpUntil(Pred done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        Pump(50);
    }
    return true;
}

bool Save(QWidget *w, const QString &folder, const char *name)
{
    const QString path = folder + "/" + name;
    const bool ok = w && w->grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

QWidget *TopLevel(const char *objectName)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == QLatin1String(objectName))
            return w;
    return nullptr;
}

// Whether `w` lies inside a scroll area's viewport: such a control is
// reached by scrolling, wherever it lies.
bool Scrolled(const QWidget *w, const QWidget *window)
{
    for (const QWidget *p = w->parentWidget(); p && p != window; p = p->parentWidget())
        if (auto *area = qobject_cast<const QAbstractScrollArea *>(p->parentWidget()))
            if (area->viewport() == p)
                return true;
    return false;
}

QString Describe(const QWidget *w)
{
    QString text = QString::fromLatin1(w->metaObject()->className());
    if (!w->objectName().isEmpty())
        text += QStringLiteral(" ") + w->objectName();
    if (!w->accessibleName().isEmpty())
        text += QStringLiteral(" \"") + w->accessibleName() + QStringLiteral("\"");
    else if (auto *b = qobject_cast<const QAbstractButton *>(w))
        text += QStringLiteral(" \"") + b->text() + QStringLiteral("\"");
    return text;
}

// Checks that `window` (shown) fits a 1280 x 720 screen: it opened no
// larger, its minimum is no larger, and at its size bounded by the screen
// every visible control lies inside it, or inside a scroll area that does.
// Returns the number of faults, each printed with the window's name.
int CheckFits(QWidget *window, const char *name)
{
    const QSize screen(tav::ui::kSmallScreenWidth, tav::ui::kSmallScreenHeight);
    if (!window) {
        std::fprintf(stderr, "FIT %s: the window did not open\n", name);
        return 1;
    }
    const QByteArray title = window->windowTitle().toUtf8();
    int faults = 0;
    const QSize opened = window->size();
    auto fault = [&](const QString &what) {
        std::fprintf(stderr, "FIT %s (%s, %s): %s\n", name, title.constData(),
                     window->objectName().toUtf8().constData(), what.toUtf8().constData());
        ++faults;
    };
    if (window->width() > screen.width() || window->height() > screen.height())
        fault(QStringLiteral("opens at %1 x %2, larger than 1280 x 720").arg(window->width()).arg(window->height()));
    const QSize least = window->minimumSize().expandedTo(window->minimumSizeHint());
    if (least.width() > screen.width() || least.height() > screen.height())
        fault(QStringLiteral("minimum size %1 x %2 exceeds 1280 x 720").arg(least.width()).arg(least.height()));
    const QSize fitted = window->size().boundedTo(screen).expandedTo(least);
    window->resize(fitted);
    PumpUntil([&] { return window->size() == fitted; }, 3000);
    Pump(100);
    int shown = 0;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisible() || w->window() != window || Scrolled(w, window))
            continue;
        const QRect at(w->mapTo(window, QPoint(0, 0)), w->size());
        if (window->rect().contains(at))
            continue;
        if (++shown <= 10)
            fault(QStringLiteral("%1 lies at %2,%3 %4 x %5, outside %6 x %7")
                      .arg(Describe(w))
                      .arg(at.x())
                      .arg(at.y())
                      .arg(at.width())
                      .arg(at.height())
                      .arg(window->width())
                      .arg(window->height()));
        else
            ++faults;
    }
    if (faults == 0)
        std::printf("fits %s: opened %d x %d, minimum %d x %d\n", name, opened.width(), opened.height(), least.width(),
                    least.height());
    return faults;
}

// A screen of 1280 x 720 for the offscreen platform (whose own is 800 x
// 600), so that the windows size themselves as on the smallest screen.
void SmallScreen(const std::string &folder)
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && platform != "offscreen")
        return;
    const QString path = QString::fromStdString(folder + "/screen.json");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1280, "height": 720,
                   "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + path.toLocal8Bit());
}

class NoEvents : public tav::EventSink {
public:
    void Post(const tav::StationEvent &) override {}
};

// A month of sensor 1's history ending now, four ticks a minute, written by
// the station's own writer: a pump whose bearing wears, its velocity RMS
// creeping from 1.8 to 3 mm/s with a daily load swing and some scatter.
bool FillMonth(const std::string &dataFolder)
{
    ::mkdir(dataFolder.c_str(), 0777);
    NoEvents sink;
    tav::HistoryWriterOptions options;
    options.dataFolder = dataFolder;
    options.waitWhenFull = true;
    tav::HistoryWriter writer(options, sink);
    if (!writer.Start())
        return false;
    constexpr int64_t kDay = 86'400'000;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    auto snapshot = std::make_unique<tav::SteadySnapshot>();
    snapshot->count = 1;
    tav::SteadySensorValues &v = snapshot->sensors[0];
    v.address = 1;
    v.slot = 0;
    v.generation = 1;
    uint32_t noise = 12345;
    auto scatter = [&noise] {
        noise = noise * 1664525u + 1013904223u;
        return double(noise >> 8) / double(1u << 24) - 0.5;
    };
    for (int64_t t = now - 30 * kDay; t < now; t += 15'000) {
        const double days = double(t - (now - 30 * kDay)) / double(kDay);
        const double load = 1.0 + 0.12 * std::sin(2 * M_PI * days);
        const double wear = 1.8 + 1.2 * std::pow(days / 30.0, 2.0);
        for (int axis = 0; axis < 3; ++axis) {
            const double a = (0.6 + 0.2 * axis) * load;  // X quietest, Z loudest
            const double vr = wear * a * (1.0 + 0.08 * scatter());
            float *row = v.values + axis * tav::kSteadyParameterCount;
            row[tav::kSteadyAR] = float(0.35 * a * (1.0 + 0.1 * scatter()) + 0.02 * days / 30.0);
            row[tav::kSteadyAP] = float(1.1 * a * (1.0 + 0.15 * scatter()) + 0.1 * days / 30.0);
            row[tav::kSteadyAK] = float(3.0 + 0.3 * scatter() + 0.8 * days / 30.0);
            row[tav::kSteadyVR] = float(vr);
            row[tav::kSteadyVP] = float(1.45 * vr);
            row[tav::kSteadyDR] = float(0.03 * vr);
            row[tav::kSteadyDP] = float(0.09 * vr);
        }
        v.values[tav::kSpeedSeries] = float(1480.0 + 15.0 * load + 5.0 * scatter());
        snapshot->utcMs = t;
        writer.OnSteadySnapshot(*snapshot);
    }
    writer.Flush();
    writer.Stop();
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    char scratchTemplate[] = "/tmp/tavenor-shots.XXXXXX";
    const char *scratch = mkdtemp(scratchTemplate);
    if (!scratch) {
        std::perror("mkdtemp");
        return 1;
    }
    SmallScreen(scratch);
    QApplication app(argc, argv);
    tav::ui::InstallQtTranslations(app);
    QApplication::setFont(QFont(QStringLiteral("WenQuanYi Micro Hei"), 9));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", folder.toLocal8Bit().constData());
        return 1;
    }

    // The demo fleet, with the device records `make run` gives it, so that
    // every shown speed is the simulated one.
    tav::sim::FleetConfig fleetConfig = tav::sim::DemoFleetConfig();
    fleetConfig.base.quiet = true;
    std::string recordError;
    if (!tav::sim::WriteDeviceRecords(fleetConfig, std::string(scratch) + "/devicepara.dat", &recordError)) {
        std::fprintf(stderr, "%s\n", recordError.c_str());
        return 1;
    }

    // The demo's own settings (its machines' names, classes and limits),
    // with the bearings of sensor 1 described as an operator would, for the
    // picture of the machine settings dialog.
    const std::string settingsPath = std::string(scratch) + "/" + tav::kStationSettingsFileName;
    if (!QFile::copy(QStringLiteral(TAVENOR_SOURCE_DIR "/tools/demo-station.toml"), QString::fromStdString(settingsPath)))
        std::fprintf(stderr, "cannot copy tools/demo-station.toml\n");
    {
        std::vector<std::string> ignored;
        tav::StationSettings demo = tav::LoadStationSettings(settingsPath, &ignored);
        tav::MachineSettings m = demo.sensors[1];
        m.address = 1;
        m.bearings = {{"驱动端 6308", 8, 15.875, 65, 0}, {"非驱动端 6306", 8, 12.7, 53, 0}};
        const std::string settingsError = tav::SaveMachineSettings(settingsPath, m);
        if (!settingsError.empty())
            std::fprintf(stderr, "%s\n", settingsError.c_str());
    }

    tav::StationOptions options;
    options.port = 0;
    options.startFolder = scratch;
    std::vector<std::string> settingsMessages;
    options.settings = tav::LoadStationSettings(settingsPath, &settingsMessages);
    tav::ui::QtEventSink sink;
    tav::Station station(options, sink);
    if (!FillMonth(station.DataFolder()))
        std::fprintf(stderr, "cannot fill the history\n");
    CTavenorDlg dlg(station);
    sink.SetTarget(&dlg);
    std::vector<std::string> messages;
    if (station.Start(&messages) != 0) {
        for (const auto &m : messages)
            std::fprintf(stderr, "%s\n", m.c_str());
        return 1;
    }
    dlg.Initialise(messages);
    dlg.resize(1280, 720);
    dlg.show();

    // One sensor after the other, so that sensor i always takes slot i and
    // the pictures come out the same on every run; sensor 1 is the one the
    // window shows first.
    fleetConfig.base.port = uint16_t(station.Port());
    std::vector<std::unique_ptr<tav::sim::SimSensor>> fleet;
    int failures = 0;
    auto &table = station.Table();
    for (const tav::sim::SensorConfig &config : fleetConfig.Expand()) {
        const int slot = int(fleet.size());
        fleet.push_back(std::make_unique<tav::sim::SimSensor>(config));
        fleet.back()->Start();
        if (!PumpUntil([&] { return table[slot].InUse() && table[slot].sensorAddress.load() == config.address; },
                       10000))
            std::fprintf(stderr, "sensor %u did not connect into slot %d\n", config.address, slot);
    }
    // 20 Hz per division, so that the running speed and its orders stand apart.
    for (int id : {1035, 1037, 1039})
        if (auto *scale = tav::ui::FindControl<QComboBox>(&dlg, id)) {
            scale->setCurrentIndex(2);
            emit scale->activated(2);
        }
    // Spectra need a second of samples and the speed a three-second capture.
    Pump(5000);
    failures += !Save(&dlg, folder, "main-window.png");
    failures += CheckFits(&dlg, "main window");

    emit dlg.menuCommand(32771);
    Pump(2000);
    QWidget *parameters = TopLevel("130");
    failures += !Save(parameters, folder, "sensor-parameters.png");
    failures += CheckFits(parameters, "sensor parameters");
    if (parameters) {
        // With "高级" (1310) ticked it holds every register of the sensor.
        if (auto *advanced = tav::ui::FindControl<QCheckBox>(parameters, 1310))
            advanced->setChecked(true);
        Pump(300);
        failures += CheckFits(parameters, "sensor parameters, advanced");
        parameters->close();
    }

    emit dlg.menuCommand(32778);
    Pump(1000);
    QWidget *machines = TopLevel("137");
    Pump(300);
    failures += !Save(machines, folder, "machine-settings.png");
    failures += CheckFits(machines, "machine settings");
    if (machines)
        machines->close();

    // The analysis window on X: Hann, two seconds, averaged, zoomed to the
    // first 300 Hz so that the orders and the peak list read at a glance.
    emit dlg.menuCommand(CTavenorDlg::kSpectrumAnalysisCommand);
    if (QWidget *analysis = TopLevel("150")) {
        failures += CheckFits(analysis, "analysis");
        auto pick = [&](int id, int index) {
            if (auto *list = tav::ui::FindControl<QComboBox>(analysis, id))
                list->setCurrentIndex(index);
        };
        pick(CAnalysisDlg::kLengthList, 2);
        pick(CAnalysisDlg::kWindowList, 1);
        pick(CAnalysisDlg::kAveragingList, 2);
        dlg.Analysis().View().SetSpan(0, 300);
        Pump(6000);
        tav::ui::AnalysisPlot &view = dlg.Analysis().View();
        const double fr = view.Shown().rpm / 60.0;
        if (fr > 0) {
            view.PlaceCursor(false, static_cast<int>(view.ColumnOf(fr)));
            view.PlaceCursor(true, static_cast<int>(view.ColumnOf(2 * fr)));
        }
        Pump(600);
        failures += !Save(analysis, folder, "analysis-window.png");
        // Each mode has its own rows.
        if (auto *mode = tav::ui::FindControl<QComboBox>(analysis, CAnalysisDlg::kModeList)) {
            for (int m : {CAnalysisDlg::kEnvelopeMode, CAnalysisDlg::kWaterfallMode}) {
                mode->setCurrentIndex(m);
                Pump(300);
                failures += CheckFits(analysis, m == CAnalysisDlg::kEnvelopeMode ? "analysis, envelope"
                                                                                 : "analysis, waterfall");
            }
            mode->setCurrentIndex(CAnalysisDlg::kSpectrumMode);
        }
        analysis->close();
    } else {
        ++failures;
        std::fprintf(stderr, "the analysis window did not open\n");
    }

    // The viewer is modal: its own loop runs while this timer picks the
    // one-minute window, waits for some history and takes the picture.
    bool viewerDone = false;
    QTimer::singleShot(200, [&] {
        QWidget *viewer = TopLevel("133");
        viewerDone = true;
        if (!viewer) {
            ++failures;
            std::fprintf(stderr, "the steady-state viewer did not open\n");
            return;
        }
        failures += CheckFits(viewer, "steady-state viewer");
        if (auto *window = tav::ui::FindControl<QComboBox>(viewer, 1123)) {
            window->setCurrentIndex(5);
            emit window->activated(5);
        }
        // The newest minute: the history starts when the sensors connected.
        if (auto *start = tav::ui::FindControl<QSlider>(viewer, 1125))
            start->setValue(100);
        Pump(12000);
        failures += !Save(viewer, folder, "steady-viewer.png");
        if (auto *quit = tav::ui::FindControl<QAbstractButton>(viewer, 2))
            quit->click();
        else
            viewer->close();
    });
    emit dlg.menuCommand(32777);
    PumpUntil([&] { return viewerDone && !TopLevel("133"); }, 30000);

    // The history: sensor 1's month, minutes with their band, the velocity
    // RMS of the three axes shown at a factor that spreads them over the grid.
    emit dlg.menuCommand(CTavenorDlg::kHistoryViewerCommand);
    if (CHistoryDialog *history = dlg.HistoryViewer()) {
        failures += CheckFits(history, "history");
        auto settled = [&] { return history->Pending() == 0 && history->Shown() != nullptr; };
        PumpUntil(settled, 30000);
        auto choose = [&](int id, int index) {
            if (auto *combo = tav::ui::FindControl<QComboBox>(history, id)) {
                combo->setCurrentIndex(index);
                emit combo->activated(index);
            }
        };
        choose(CHistoryDialog::kIdRangeCombo, 4);  // "30 天"
        // Velocity RMS of X, Y and Z and the speed, 1 mm/s per two rows.
        // Boxes cleared first: a ninth series would be refused.
        for (bool tick : {false, true})
            for (int series = 0; series < tav::kSteadySeriesCount; ++series) {
                const bool wanted = series == tav::kSpeedSeries || tav::SeriesParameter(series) == tav::kSteadyVR;
                auto *box = tav::ui::FindControl<QAbstractButton>(history, tav::ui::SeriesBoxId(series));
                if (box && wanted == tick && box->isChecked() != wanted)
                    box->click();
            }
        for (int series : {3, 10, 17}) {
            choose(CHistoryDialog::kIdParameterCombo, series);
            if (auto *factor = tav::ui::FindControl<QLineEdit>(history, CHistoryDialog::kIdFactorEdit))
                factor->setText(QStringLiteral("2"));
            if (auto *set = tav::ui::FindControl<QAbstractButton>(history, CHistoryDialog::kIdSetFactor))
                set->click();
        }
        Pump(200);
        PumpUntil(settled, 30000);
        // The value and time under the mouse, three quarters along.
        QCustomPlot *plot = history->Plot();
        const QPoint at(plot->axisRect()->left() + plot->axisRect()->width() * 3 / 4, plot->axisRect()->center().y());
        QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(plot->mapToGlobal(at)), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(plot, &move);
        Pump(300);
        failures += !Save(history, folder, "history-trend.png");
        history->close();
    } else {
        ++failures;
        std::fprintf(stderr, "the history viewer did not open\n");
    }

    // The alarm list, and the about box in its own modal loop.
    emit dlg.menuCommand(tav::ui::AlarmControls::kAlarmCommand);
    Pump(500);
    QWidget *alarms = TopLevel("170");
    failures += CheckFits(alarms, "alarms");
    if (alarms)
        alarms->close();
    bool aboutDone = false;
    QTimer::singleShot(200, [&] {
        QWidget *about = TopLevel("100");
        failures += CheckFits(about, "about");
        if (about)
            about->close();
        aboutDone = true;
    });
    CAboutDlg about(&dlg);
    about.exec();
    PumpUntil([&] { return aboutDone; }, 5000);

    for (auto &sensor : fleet)
        sensor->RequestStop();
    for (auto &sensor : fleet)
        sensor->Stop();
    dlg.Shutdown();
    sink.Detach();
    QDir(QString::fromLocal8Bit(scratch)).removeRecursively();
    return failures ? 1 : 0;
}
