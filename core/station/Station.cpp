#include "core/station/Station.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/history/HistoryReader.h"
#include "core/processing/ProcessingThread.h"

namespace tav {

namespace {
std::string CurrentFolder()
{
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf))
        return buf;
    return ".";
}
}  // namespace

ServerPolicy ServerPolicyFrom(const AccessSettings &access, std::vector<std::string> *messages)
{
    ServerPolicy policy;
    policy.garbageTimeoutS = access.garbageTimeoutS;
    policy.idleEvictS = access.idleEvictS;
    // Periods of 0 (never from station.toml, which wants at least 0.1 s)
    // turn the rules off, for benchmarks that compare.
    policy.patrol = access.garbageTimeoutS > 0 || access.idleEvictS > 0;
    const std::string file = std::string(kStationSettingsFileName) + " [access] ";
    if (access.allowGiven || !access.allow.empty())
        policy.allow = AccessList::FromEntries(access.allow, access.allowFrom.empty() ? file + "allow" : access.allowFrom,
                                               messages);
    bool ok = true;
    policy.bindAddress =
        BindAddressFrom(access.bind, access.bindFrom.empty() ? file + "bind" : access.bindFrom, &ok, messages);
    policy.listenNowhere = !ok;
    return policy;
}

Station::Station(const StationOptions &options, EventSink &sink)
    : startFolder_(options.startFolder.empty() ? CurrentFolder() : options.startFolder),
      dataFolder_(startFolder_ + "/data"),
      port_(options.port),
      sink_(sink),
      table_(std::make_unique<ConnectionTable>()),
      deviceTable_(std::make_unique<DeviceParameterTable>()),
      settingsCache_(std::make_unique<SensorSettingsCache>()),
      plots_(std::make_unique<LivePlots>()),
      recorder_(std::make_unique<Recorder>(*table_, sink, dataFolder_)),
      conditioner_(std::make_unique<Conditioner>(*table_, *plots_, sink, recorder_.get())),
      handler_(std::make_unique<FrameParser>(*table_, sink, conditioner_.get())),
      server_(std::make_unique<Server>(*table_, sink, *handler_)),
      processing_(std::make_unique<ProcessingThread>(*table_, *plots_)),
      steady_(std::make_unique<SteadyTable>()),
      // A row's stamp is the tick's own time, the one its snapshot carries,
      // so the log and the history agree even when a tick straddles a second.
      steadyLog_(std::make_unique<SteadyLog>(
          *steady_, [this] { return tickUtcMs_ > 0 ? std::time_t(tickUtcMs_ / 1000) : std::time(nullptr); })),
      captures_(std::make_unique<AlarmCapture>(dataFolder_ + "/" + kAlarmFolderName)),
      alarms_(std::make_unique<AlarmEngine>()),
      bands_(std::make_unique<health::BandMonitor>(*table_)),
      settings_(options.settings),
      settingsWatcher_(std::make_unique<SettingsWatcher>(startFolder_ + "/" + kStationSettingsFileName))
{
    conditioner_->SetTapSink(captures_.get());
    conditioner_->SetBandSink(bands_.get());
    alarms_->SetCaptureRequester(captures_.get());
    ApplyAlarmSettings(settings_);
    // The rings are armed on a tick before the engine of the same tick may
    // ask for a capture.
    AddSteadyConsumer(captures_.get());
    AddSteadyConsumer(alarms_.get());
    replayer_ = std::make_unique<Replayer>(*recorder_, conditioner_.get());
    replayer_->SetSpeedBandFn([this](ConnectionRecord &rec) { deviceTable_->ApplyDeviceParameters(rec); });
    // A connection's speed band comes from its device record when it binds.
    steady_->SetDeviceParameterFn([this](ConnectionRecord &rec) { deviceTable_->ApplyDeviceParameters(rec); });
}

Station::~Station() { Stop(); }

int Station::Start(std::vector<std::string> *errors)
{
    // Output goes to data/ under the start folder; without it, the start
    // folder. Something else of that name (a file, a dangling link) is no
    // folder either: every save into it would fail.
    int folderError = 0;
    if (::mkdir(dataFolder_.c_str(), 0777) != 0) {
        struct stat st;
        if (errno != EEXIST)
            folderError = errno;
        else if (::stat(dataFolder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            folderError = ENOTDIR;
    }
    if (folderError != 0) {
        if (errors)
            errors->push_back("无法创建数据文件夹 " + dataFolder_ + "：" + std::strerror(folderError) +
                              "，文件将保存在启动文件夹中");
        dataFolder_ = startFolder_;
        captures_->SetFolder(dataFolder_ + "/" + kAlarmFolderName);
    }
    captures_->Start();
    bands_->Start();
    // From now on the file is watched on the watcher's thread; it takes the
    // file as it is as read, since main read it for the options.
    settingsWatcher_->Start();
    // The device table comes first: every accepted sensor's band derives from it.
    int rc = 0;
    std::string error;
    if (!deviceTable_->LoadDeviceParameters(DeviceParameterPath(), true, &error) && errors)
        errors->push_back(error);
    error.clear();
    server_->SetPolicy(ServerPolicyFrom(settings_.access, errors));
    if (server_->OpenServer(port_, true, &error) != 0) {
        if (errors) {
            errors->push_back(error);
            errors->push_back("与界面通信SOCKET产生错误");
        }
        rc = -1;
    } else if (!server_->Start()) {
        if (errors)
            errors->push_back("产生与监视计算机通信线程错误");
        rc = -1;
    }
    // Spectra and speeds run without a server too: a replay needs them.
    processing_->Start();
    StartHistory();
    if (rc == 0)
        StartMqtt(errors);
    return rc;
}

void Station::StartHistory()
{
    if (!settings_.history.enabled || history_)
        return;
    HistoryWriterOptions options;
    options.dataFolder = dataFolder_;
    options.settings = settings_.history;
    auto writer = std::make_unique<HistoryWriter>(options, sink_);
    if (!writer->Start())
        return;  // another station writes this folder's history; it has said so
    history_ = std::move(writer);
    AddSteadyConsumer(history_.get());
    // Every raise, clear, acknowledgement and offline/online into the alarm log.
    alarms_->AddListener(history_.get());
    // A record given to a sensor gets the sensor's last hour back from the file.
    steady_->SetBindObserver([this](int record, int32_t address, uint64_t bindTick) {
        history_->RecordBound(record, address, bindTick);
    });
    trend_ = std::make_unique<TrendForecaster>(dataFolder_ + "/" + kHistoryFileName);
    trend_->SetMachines(settings_.sensors);
    trend_->Start();
}

void Station::StopHistory()
{
    trend_.reset();
    if (!history_)
        return;
    RemoveSteadyConsumer(history_.get());
    alarms_->RemoveListener(history_.get());
    steady_->SetBindObserver({});
    history_->Stop();
    history_.reset();
}

void Station::StartMqtt(std::vector<std::string> *messages)
{
    if (settings_.mqtt.url.empty())
        return;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == 0)
        std::strcpy(host, "localhost");
    MqttConfig config;
    if (!ResolveMqttConfig(settings_.mqtt, host, server_->Port(), &config, messages))
        return;
    config.version = TAVENOR_VERSION;
    config.startedUtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    auto mqtt = std::make_unique<MqttPublisher>(config, &sink_);
    ConnectionTable *table = table_.get();
    mqtt->SetOnlineCountFn([table] { return table->onlineCount.load(); });
    std::string error;
    if (!mqtt->Start(&error)) {
        if (messages)
            messages->push_back(error);
        return;
    }
    mqtt_ = std::move(mqtt);
    // Alarm events, names and zones: the engine is a steady consumer added
    // before the link, so each tick's alarms are decided before it publishes.
    mqttAlarms_ = std::make_unique<MqttAlarmBridge>(*mqtt_, *alarms_);
    AddSteadyConsumer(mqtt_.get());
}

ReplyOutcome Station::IntakeSensorReply(const StationEvent &event)
{
    int slot = int(event.lParam);
    if (slot < 0 || slot >= kSlotCount)
        return {};
    size_t length = event.length < sizeof event.data ? event.length : sizeof event.data;
    return settingsCache_->Intake(slot, event.data, length, (*table_)[slot].generation.load());
}

std::vector<std::string> Station::SteadyTick()
{
    if (history_) {
        // Refills read by the writer since the last tick; entries of the
        // ticks in between stay as they are.
        while (std::unique_ptr<HistoryRefill> refill = history_->TakeRefill())
            steady_->ApplyRefill(refill->record, refill->address, refill->bindTick, refill->byAge);
    }
    tickUtcMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    // The plant's acknowledgements, on the thread that owns the engine.
    if (mqttAlarms_)
        mqttAlarms_->ApplyAckCommands(tickUtcMs_);
    std::vector<std::string> messages = steady_->Tick(*table_, steadyLog_.get());
    snapshot_.utcMs = tickUtcMs_;
    tickUtcMs_ = 0;  // the log's file names outside a tick take the clock
    snapshot_.count = 0;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const int index = steady_->BoundRecord(*table_, slot);
        if (index < 0)
            continue;
        const SteadyRecord &r = steady_->Record(index);
        ConnectionRecord &rec = (*table_)[slot];
        SteadySensorValues &v = snapshot_.sensors[snapshot_.count++];
        v.address = r.address;
        v.slot = slot;
        v.generation = rec.generation.load();
        for (int s = 0; s < kSteadySeriesCount; ++s)
            v.values[s] = r.Current(s);
        v.samplingFrequency = rec.samplingFrequency.load();
        v.temperature = rec.temperature.load();
        // The sensor's averaging time in half-second windows, for the
        // windows that close from now on.
        const auto machine = settings_.sensors.find(r.address);
        const double averageS =
            machine != settings_.sensors.end() ? machine->second.severityAverageS : kDefaultSeverityAverageS;
        rec.cond.severityAverageWindows.store(
            int(std::clamp(std::lround(averageS * 2.0), 1L, long(kMaxSeverityAverageWindows))));
        const WindowStats stats = ReadStats(rec.cond);
        // Zones, alarms, history and the broker judge the severity averaged
        // over the sensor's stated time; the live field shows each window's.
        for (int k = 0; k < 3; ++k)
            v.isoVelocity[k] = float(stats.isoVelocityAverage[k]);
        v.ratedSpeed = rec.ratedSpeed.load();
        v.speedFromRecord = rec.speedFromRecord.load() != 0;
        v.packetsParsed = rec.packetsParsed.load();
        v.peerIp = rec.peerIpHost.load();
        v.peerPort = rec.peerPortHost.load();
        bands_->Read(slot, v.generation, v.band);
        // No window closed yet on this connection: no severity either.
        if (stats.windows == 0)
            std::fill(std::begin(v.isoVelocity), std::end(v.isoVelocity), NAN);
        // Every window closed since the last tick, each once: the timer and
        // the sensor's clock drift against each other.
        steady_->HandOnWindows(*table_, slot, snapshot_.utcMs, v);
        // A slow machine's severity is its spectra's 2 Hz - 1 kHz band, the
        // same in every window this tick hands on.
        if (machine != settings_.sensors.end() && SlowMachine(machine->second)) {
            float slow[3];
            bands_->ReadSlow(slot, v.generation, slow, v.isoDisplacement);
            for (int k = 0; k < 3; ++k) {
                v.isoVelocity[k] = slow[k];
                for (int i = 0; i + 1 < v.freshWindows && i < kMaxFreshWindows - 1; ++i)
                    v.earlier[i].isoVelocity[k] = slow[k];
                v.zoneBy[k] = uint8_t(JudgeZone(machine->second.isoClass, slow[k], v.isoDisplacement[k]).by);
            }
        } else {
            std::fill(std::begin(v.isoDisplacement), std::end(v.isoDisplacement), NAN);
            std::fill(std::begin(v.zoneBy), std::end(v.zoneBy), uint8_t(0));
        }
        rec.cond.rangeLimitG.store(MeasuringRangeG(settingsCache_->Entry(slot), v.generation));
        TakeRawFigures(stats, &v);
        health_[slot].Feed(v, snapshot_.utcMs, MeasuredAxes(settingsCache_->Entry(slot), v.generation));
        for (int k = 0; k < 3; ++k)
            v.sensorFault[k] = health_[slot].Faults(k);
        if (trend_)
            trend_->Fill(&v);
        else
            for (int k = 0; k < 3; ++k)
                v.daysToAlert[k] = v.daysToDanger[k] = NAN;
    }
    for (SteadySnapshotConsumer *c : steadyConsumers_)
        c->OnSteadySnapshot(snapshot_);
    return messages;
}

void Station::AddSteadyConsumer(SteadySnapshotConsumer *consumer)
{
    if (std::find(steadyConsumers_.begin(), steadyConsumers_.end(), consumer) == steadyConsumers_.end())
        steadyConsumers_.push_back(consumer);
}

void Station::RemoveSteadyConsumer(SteadySnapshotConsumer *consumer)
{
    steadyConsumers_.erase(std::remove(steadyConsumers_.begin(), steadyConsumers_.end(), consumer),
                           steadyConsumers_.end());
}

void Station::ApplyAlarmSettings(const StationSettings &settings, std::vector<std::string> *told)
{
    settings_.sensors = settings.sensors;
    settings_.capture = settings.capture;
    settings_.notice = settings.notice;
    alarms_->SetSettings(settings_.sensors, told);
    if (trend_)
        trend_->SetMachines(settings_.sensors);
    captures_->SetSettings(settings_.capture, settings_.sensors);
    bands_->SetSettings(settings_.sensors);
}

std::vector<std::string> Station::ApplyReloadedSettings()
{
    std::optional<SettingsReload> reload = settingsWatcher_->Take();
    if (!reload)
        return {};
    if (reload->usable)
        ApplyAlarmSettings(reload->settings, &reload->messages);
    return std::move(reload->messages);
}

void Station::Stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    settingsWatcher_->Stop();
    if (mqtt_) {
        mqttAlarms_.reset();
        RemoveSteadyConsumer(mqtt_.get());
        mqtt_->Stop();
    }
    // The history's last batch goes to the file while the tables still exist.
    StopHistory();
    processing_->Stop();
    server_->Stop();
    // After the parsers: no block reaches the rings any more.
    captures_->Stop();
    bands_->Stop();
    // A running save holds its own references to the recordings; it is let
    // finish so that no file is left half written.
    recorder_->Saver().Join();
}

std::string Station::TimeToAlarm(int32_t address, int axis) const
{
    TrendResult r;
    if (!trend_)
        return {};
    for (size_t k = 0; k < trend_->Series().size(); ++k) {
        const TrendSeries &series = trend_->Series()[k];
        if (series.quantity == kQuantityVelocity && series.axis == axis && trend_->Latest(address, int(k), &r))
            return TimeToAlarmText(r);
    }
    return {};
}

void Station::NoteCaptureLost(const std::string &path)
{
    alarms_->ForgetCapture(path);
    if (history_)
        history_->OnCaptureLost(path, "未能保存报警录波");
}

}  // namespace tav
