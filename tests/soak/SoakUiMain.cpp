// tavenor-soak: the real main window and Station in this process on the
// offscreen platform, a hostile fleet of tavenor-sim processes on loopback,
// and the operator's actions clicked through the window by control id.
#include <signal.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "tests/soak/HostileClients.h"
#include "tests/soak/SoakDriver.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"
#include "ui/main/TransientControls.h"

using tav::ui::FindControl;

namespace {

constexpr int kViewerCommand = 32777;
constexpr int kSensorParametersCommand = 32771;

class WindowOperator : public tav::soak::Operator {
public:
    explicit WindowOperator(CTavenorDlg &dlg) : dlg_(dlg) {}
    void SetFigures(tav::soak::SoakFigures *figures) { figures_ = figures; }

    void SelectSlot(int slot) override
    {
        // As the operator does: open the list (which rebuilds it), pick the line.
        auto *list = FindControl<tav::ui::ConnectionCombo>(&dlg_, 1001);
        if (!list)
            return;
        list->showPopup();
        list->hidePopup();
        for (int i = 0; i < list->count(); ++i)
            if (list->itemText(i).trimmed().section(' ', 0, 0).toInt() == slot) {
                list->setCurrentIndex(i);
                emit list->activated(i);
                return;
            }
    }
    void ToggleHighPass() override { Click(1149); }
    void TogglePlotPause() override
    {
        Click(1018);
        Click(1015);
    }
    void StartRecording() override { Click(1031); }
    void TogglePause() override { Click(1040); }
    void StopAcquisition() override { Click(1041); }
    void Save() override { Menu(tav::ui::TransientControls::kSaveCommand); }
    bool OpenRecording(const std::string &path) override
    {
        const QString file = QString::fromStdString(path);
        tav::ui::TransientControls::SetFileChooser([file](QWidget *, const QString &) { return file; });
        const int before = int(figures_->messages.size());
        Menu(tav::ui::TransientControls::kOpenCommand);
        tav::ui::TransientControls::SetFileChooser({});
        // A refused file leaves the loaded data alone and says why.
        auto *total = FindControl<QLineEdit>(&dlg_, 1090);
        return int(figures_->messages.size()) == before && total && !total->text().isEmpty();
    }
    void StartReplay() override { Click(1032); }
    void StartSteadyLog() override { Click(1155); }
    void StopSteadyLog() override { Click(1156); }
    bool OpenViewer() override
    {
        // The viewer is modal: it is closed from inside its own event loop.
        bool seen = false;
        QTimer::singleShot(400, &dlg_, [this, &seen] {
            // Once made, the viewer stays as a hidden child: only a shown one counts.
            if (QDialog *viewer = Dialog(133); viewer && viewer->isVisible()) {
                seen = true;
                if (auto *close = FindControl<QPushButton>(viewer, 2))
                    close->click();
                else
                    viewer->reject();
            }
        });
        Menu(kViewerCommand);
        if (!seen) {
            // Opened without a modal loop of its own (or not part of the
            // station): wait here for the timer either way.
            QEventLoop loop;
            QTimer::singleShot(450, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return seen;
    }
    void OpenParameters() override { Menu(kSensorParametersCommand); }
    int SendCommands(int *refused) override
    {
        QDialog *para = Dialog(130);
        if (!para || !para->isVisible()) {
            ++*refused;
            return 0;
        }
        int sent = 0;
        // Reads only: parameters, sampling mode, version and id, communication.
        // The send view 1300 echoes each frame, followed by "(reason)" when it did not go out.
        auto *echo = FindControl<QPlainTextEdit>(para, 1300);
        for (int id : {1231, 1281, 1261, 1216}) {
            const qsizetype before = echo ? echo->toPlainText().size() : 0;
            if (auto *b = FindControl<QPushButton>(para, id))
                b->click();
            const QString added = echo ? echo->toPlainText().mid(before) : QString();
            if (!added.trimmed().isEmpty() && !added.contains(QLatin1Char('(')))
                ++sent;
            else
                ++*refused;
        }
        return sent;
    }
    void CloseParameters() override
    {
        QDialog *para = Dialog(130);
        if (para && para->isVisible())
            if (auto *cancel = FindControl<QPushButton>(para, 2))
                cancel->click();
    }

private:
    void Click(int id)
    {
        if (auto *b = FindControl<QPushButton>(&dlg_, id); b && b->isEnabled())
            b->click();
    }
    void Menu(int id)
    {
        if (auto *a = FindControl<QAction>(&dlg_, id))
            a->trigger();
    }
    QDialog *Dialog(int id)
    {
        if (auto *d = FindControl<QDialog>(&dlg_, id))
            return d;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QString::number(id))
                if (auto *d = qobject_cast<QDialog *>(w))
                    return d;
        return nullptr;
    }

    CTavenorDlg &dlg_;
    tav::soak::SoakFigures *figures_ = nullptr;
};

// The offscreen platform's notes on what it cannot do (raise a window,
// grab the keyboard) would bury the report.
void QuietOffscreenNotes(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith(QLatin1String("This plugin does not support")))
        return;
    std::fprintf(stderr, "%s%s\n", type == QtWarningMsg ? "warning: " : "", qPrintable(text));
}

}  // namespace

int main(int argc, char **argv)
{
    tav::soak::SoakOptions options;
#ifdef TAVENOR_SIM_PATH
    options.simPath = TAVENOR_SIM_PATH;
#endif
    std::string error;
    if (!tav::soak::ParseSoakOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "tavenor-soak: %s\n", error.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    signal(SIGPIPE, SIG_IGN);
    std::string folder = options.folder;
    if (folder.empty()) {
        char pattern[] = "/tmp/tavenor-soak-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("tavenor-soak: mkdtemp");
            return 2;
        }
        folder = pattern;
    }

    qInstallMessageHandler(QuietOffscreenNotes);
    QApplication app(argc, argv);
    tav::ui::QtEventSink windowSink;
    tav::soak::LedgerSink ledger(&windowSink);
    tav::StationOptions stationOptions;
    stationOptions.port = 0;
    stationOptions.startFolder = folder;
    stationOptions.settings.access = tav::soak::SoakAccessSettings();
    tav::Station station(stationOptions, ledger);
    ledger.SetTable(&station.Table());
    CTavenorDlg dlg(station);
    windowSink.SetTarget(&dlg);

    std::vector<std::string> startMessages;
    if (station.Start(&startMessages) != 0) {
        for (const auto &m : startMessages)
            std::fprintf(stderr, "tavenor-soak: %s\n", m.c_str());
        return 2;
    }
    std::printf("tavenor-soak: station on port %d, folder %s, %.0f s, %d sensors\n", station.Port(), folder.c_str(),
                options.seconds, options.sensors);

    WindowOperator op(dlg);
    tav::soak::SoakDriver driver(station, op, ledger, options, folder);
    op.SetFigures(&driver.Figures());
    tav::ui::SetMessageHook([&driver](const QString &text) { ++driver.Figures().messages[text.toStdString()]; });
    dlg.Initialise(startMessages);
    dlg.show();
    if (!driver.Start(&error)) {
        std::fprintf(stderr, "tavenor-soak: %s\n", error.c_str());
        return 2;
    }
    QTimer step;
    bool busy = false;
    QObject::connect(&step, &QTimer::timeout, &dlg, [&] {
        if (busy)  // a modal dialog's own loop runs this timer too
            return;
        busy = true;
        if (!driver.Tick())
            app.quit();
        busy = false;
    });
    step.start(100);
    app.exec();
    dlg.Shutdown();
    windowSink.Detach();
    tav::ui::SetMessageHook(nullptr);
    if (!options.keep && options.folder.empty())
        tav::soak::RemoveTree(folder);
    return driver.Result();
}
