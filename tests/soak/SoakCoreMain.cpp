// tavenor-soak-core: the soak without Qt, for the thread-sanitizer build.
// The operator's actions are the Station's own calls (selection, high-pass,
// recording, save, replay, steady tick and log, commands); the window's
// timers are this loop. With --kill-child it is instead the station that
// the kill tests SIGKILL during a save or while logging.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/config/SensorCommander.h"
#include "core/processing/Conditioner.h"
#include "sim/SimFleet.h"
#include "sim/SimOptions.h"
#include "tests/soak/HostileClients.h"
#include "tests/soak/SoakDriver.h"

namespace {

using tav::soak::Now;

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

class CoreOperator : public tav::soak::Operator {
public:
    explicit CoreOperator(tav::Station &station)
        : station_(station), transport_(station.Net()), commander_(station.Table(), station.SettingsCache(), transport_)
    {
    }
    void SetFigures(tav::soak::SoakFigures *figures) { figures_ = figures; }

    void SelectSlot(int slot) override { station_.Table().selectedConnection = slot; }
    void ToggleHighPass() override { tav::ToggleHighPass(station_.Plots()); }
    void TogglePlotPause() override {}  // plots are the window's
    void StartRecording() override
    {
        std::string m;
        if (!station_.Recording().StartRecording(&m))
            Say(m);
    }
    void TogglePause() override { station_.Recording().TogglePause(); }
    void StopAcquisition() override { station_.Recording().StopAcquisition(); }
    void Save() override
    {
        std::string m;
        station_.Recording().Save(&m);
        Say(m);
    }
    bool OpenRecording(const std::string &path) override
    {
        tav::LoadResult r = station_.Recording().Load(path);
        Say(r.message);
        return r.ok;
    }
    void StartReplay() override { station_.Replay().Start(); }
    void StartSteadyLog() override
    {
        for (const auto &m : station_.StartSteadyLog())
            Say(m);
    }
    void StopSteadyLog() override
    {
        for (const auto &m : station_.SteadyLogger().Stop())
            Say(m);
    }
    bool OpenViewer() override { return false; }  // a window
    void OpenParameters() override
    {
        commander_.SelectSlot(station_.Table().selectedConnection.load());
        commander_.ResetSequence();
    }
    int SendCommands(int *refused) override
    {
        int sent = 0;
        for (auto r : {commander_.ReadParameters(), commander_.ReadSamplingFrequencyMode(),
                       commander_.ReadVersionAndId(), commander_.ReadCommunication()}) {
            if (r.sent)
                ++sent;
            else
                ++*refused;
        }
        return sent;
    }
    void CloseParameters() override {}

    void Say(const std::string &m)
    {
        if (!m.empty() && figures_)
            ++figures_->messages[m];
    }

private:
    tav::Station &station_;
    tav::ServerTransport transport_;
    tav::SensorCommander commander_;
    tav::soak::SoakFigures *figures_ = nullptr;
};

// Window-thread duties of the main window: posted events, the 500 ms
// steady tick, the replay's timer and the default selection.
class WindowDuties {
public:
    WindowDuties(tav::Station &station, tav::soak::QueueSink &queue, CoreOperator *op)
        : station_(station), queue_(queue), op_(op)
    {
    }
    void Run(tav::SteadyRowSink *log = nullptr)
    {
        const double now = Now();
        for (const auto &e : queue_.Take()) {
            if (e.type == tav::kConnectionReleasedEvent)
                station_.Steady().Release(int(e.wParam), uint32_t(e.lParam));
            else if (e.type == tav::kSensorReplyEvent)
                station_.IntakeSensorReply(e);
            else if (e.type == tav::kMessageEvent && op_)
                op_->Say(e.text);
        }
        auto &table = station_.Table();
        if (now >= nextSteady_) {
            nextSteady_ = now + 0.5;
            if (table.onlineCount.load() > 0 && table.selectedConnection.load() == -1)
                for (int slot = 0; slot < tav::kSlotCount; ++slot)
                    if (table.records[slot].InUse()) {
                        table.selectedConnection = slot;
                        break;
                    }
            auto messages = station_.Steady().Tick(table, log ? log : &station_.SteadyLogger());
            if (op_)
                for (const auto &m : messages)
                    op_->Say(m);
        }
        if (now >= nextReplay_) {
            nextReplay_ = now + tav::kReplayTickMs / 1000.0;
            if (station_.Recording().AcquisitionState() == 2)
                station_.Replay().Tick();
        }
    }

private:
    tav::Station &station_;
    tav::soak::QueueSink &queue_;
    CoreOperator *op_;
    double nextSteady_ = 0, nextReplay_ = 0;
};

// Counts the rows the log writes per record, so that the kill test knows
// how many rows each file should hold.
class CountingRowSink : public tav::SteadyRowSink {
public:
    explicit CountingRowSink(tav::SteadyLog &log) : log_(log) {}
    void WriteRow(int i) override
    {
        log_.WriteRow(i);
        const std::string &path = log_.FilePath(i);
        if (path.empty())
            return;
        if (path != path_[i]) {
            path_[i] = path;
            rows_[i] = 0;
        }
        ++rows_[i];
    }
    void RecordTakenOver(int i) override { log_.RecordTakenOver(i); }
    void EndTick(std::vector<std::string> *messages) override
    {
        log_.EndTick(messages);
        // Reported after the tick's flush: what the file must hold by now, give or take the unflushed rows.
        for (int i = 0; i < tav::kSteadyRecordCount; ++i)
            if (!path_[i].empty())
                std::printf("rows %d %s\n", rows_[i], path_[i].c_str());
        std::fflush(stdout);
    }

private:
    tav::SteadyLog &log_;
    std::string path_[tav::kSteadyRecordCount];
    int rows_[tav::kSteadyRecordCount] = {};
};

int KillChild(const std::string &mode, const std::string &folder, int sensors)
{
    tav::soak::QueueSink queue;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = folder;
    tav::Station station(options, queue);
    std::vector<std::string> errors;
    if (station.Start(&errors) != 0)
        return 2;
    tav::sim::FleetConfig fleetConfig = tav::sim::DefaultFleetConfig();
    fleetConfig.sensors = sensors;
    fleetConfig.base.port = uint16_t(station.Port());
    fleetConfig.base.quiet = true;
    tav::sim::SimFleet fleet(fleetConfig);
    fleet.Start();
    WindowDuties duties(station, queue, nullptr);
    auto &table = station.Table();
    const double start = Now();
    auto known = [&] {
        int n = 0;
        for (auto &rec : table.records)
            n += rec.InUse() && rec.sensorAddress.load() != 0;
        return n;
    };
    while (known() < sensors && Now() - start < 10)
        Sleep(0.01);
    std::printf("data %s\n", station.DataFolder().c_str());
    if (mode == "save") {
        std::string message;
        station.Recording().StartRecording(&message);
        Sleep(2.5);
        if (!station.Recording().Save(&message))
            return 3;
        // Acquisition stopped inside Save: these lengths are what is written.
        for (auto &rec : table.records)
            if (rec.recordingLength.load() > 0)
                std::printf("item %u %u\n", rec.sensorAddress.load(), rec.recordingLength.load());
        std::printf("saving\n");
        std::fflush(stdout);
        while (station.Recording().Saving())
            Sleep(0.001);
        std::printf("saved\n");
        std::fflush(stdout);
    } else {
        CountingRowSink counter(station.SteadyLogger());
        for (int i = 0; i < 3; ++i) {  // bind first
            duties.Run(&counter);
            Sleep(0.5);
        }
        station.StartSteadyLog();
        std::printf("logging\n");
        std::fflush(stdout);
        for (;;) {
            duties.Run(&counter);
            Sleep(0.01);
        }
    }
    for (;;)
        Sleep(1);  // the test kills this process
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 4 && !std::strcmp(argv[1], "--kill-child"))
        return KillChild(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 4);

    tav::soak::SoakOptions options;
    options.sensors = 10;
#ifdef TAVENOR_SIM_PATH
    options.simPath = TAVENOR_SIM_PATH;
#endif
    std::string error;
    if (!tav::soak::ParseSoakOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "tavenor-soak-core: %s\n", error.c_str());
        return 2;
    }
    std::string folder = options.folder;
    if (folder.empty()) {
        char pattern[] = "/tmp/tavenor-soak-core-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("tavenor-soak-core: mkdtemp");
            return 2;
        }
        folder = pattern;
    }
    tav::soak::QueueSink queue;
    tav::soak::LedgerSink ledger(&queue);
    tav::StationOptions stationOptions;
    stationOptions.port = 0;
    stationOptions.startFolder = folder;
    stationOptions.settings.access = tav::soak::SoakAccessSettings();
    tav::Station station(stationOptions, ledger);
    ledger.SetTable(&station.Table());
    std::vector<std::string> startMessages;
    if (station.Start(&startMessages) != 0) {
        for (const auto &m : startMessages)
            std::fprintf(stderr, "tavenor-soak-core: %s\n", m.c_str());
        return 2;
    }
    std::printf("tavenor-soak-core: station on port %d, folder %s, %.0f s, %d sensors\n", station.Port(),
                folder.c_str(), options.seconds, options.sensors);
    CoreOperator op(station);
    tav::soak::SoakDriver driver(station, op, ledger, options, folder);
    op.SetFigures(&driver.Figures());
    WindowDuties duties(station, queue, &op);
    if (!driver.Start(&error)) {
        std::fprintf(stderr, "tavenor-soak-core: %s\n", error.c_str());
        return 2;
    }
    double nextStep = Now();
    for (;;) {
        duties.Run();
        if (Now() >= nextStep) {
            nextStep += 0.1;
            if (!driver.Tick())
                break;
        }
        Sleep(0.005);
    }
    station.Stop();
    duties.Run();
    if (!options.keep && options.folder.empty())
        tav::soak::RemoveTree(folder);
    return driver.Result();
}
