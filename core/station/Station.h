#pragma once
// The station's core: every table and thread, without any window. The Qt
// main window owns one Station and shows what it reports.
#include <memory>
#include <string>
#include <vector>

#include "core/alarm/AlarmCapture.h"
#include "core/alarm/AlarmEngine.h"
#include "core/config/DeviceParameterTable.h"
#include "core/config/SensorCodes.h"
#include "core/config/SensorSettingsCache.h"
#include "core/health/BandMonitor.h"
#include "core/health/SensorHealth.h"
#include "core/health/TrendForecaster.h"
#include "core/history/HistoryWriter.h"
#include "core/model/SteadySnapshot.h"
#include "core/mqtt/MqttAlarmBridge.h"
#include "core/mqtt/MqttPublisher.h"
#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"
#include "core/net/Parser.h"
#include "core/net/Server.h"
#include "core/processing/Conditioner.h"
#include "core/processing/LivePlots.h"
#include "core/record/Recorder.h"
#include "core/record/Replayer.h"
#include "core/settings/SettingsWatcher.h"
#include "core/settings/StationSettings.h"
#include "core/steady/SteadyLog.h"
#include "core/steady/SteadyTable.h"

namespace tav {

class ProcessingThread;

struct StationOptions {
    int port = kDefaultPort;      // 0 = ephemeral (tests)
    std::string startFolder;      // folder the station started in; "" = current
    StationSettings settings = {};  // station.toml, with the command line applied
};

// The server's rules from the [access] settings; messages name bad entries.
ServerPolicy ServerPolicyFrom(const AccessSettings &access, std::vector<std::string> *messages);

class Station {
public:
    Station(const StationOptions &options, EventSink &sink);
    ~Station();

    // Opens the server and starts the threads. Returns 0, or -1 with the
    // operator's messages (in order) appended to *errors.
    int Start(std::vector<std::string> *errors);
    // Stops accepting, closes every connection, joins every thread.
    void Stop();

    ConnectionTable &Table() { return *table_; }
    Server &Net() { return *server_; }
    FrameParser &Parser() { return *handler_; }
    // Where complete blocks go (the conditioning); null = only counted.
    // Any thread; the consumer must outlive Stop().
    void SetBlockConsumer(BlockConsumer *consumer) { handler_->SetBlockConsumer(consumer); }
    LivePlots &Plots() { return *plots_; }
    // Block conditioning: the parser hands it every complete block.
    Conditioner &Conditioning() { return *conditioner_; }
    int Port() const { return server_->Port(); }
    const std::string &StartFolder() const { return startFolder_; }
    const std::string &DataFolder() const { return dataFolder_; }
    // Transient recording (the conditioning's RecordingSink), the save and
    // the replay of the global recording buffer.
    Recorder &Recording() { return *recorder_; }
    Replayer &Replay() { return *replayer_; }

    // Work mode and rated speed per sensor, loaded at Start (window thread).
    DeviceParameterTable &DeviceTable() { return *deviceTable_; }
    std::string DeviceParameterPath() const { return startFolder_ + "/" + kDeviceParameterFileName; }
    std::string SensorCodesPath() const { return startFolder_ + "/" + kSensorCodesFileName; }
    // Sensors' answers to register reads, per slot (window thread).
    SensorSettingsCache &SettingsCache() { return *settingsCache_; }
    // Window thread, on kSensorReplyEvent: decodes the frame copy that the
    // event carries (data/length, lParam = slot) into the settings cache.
    ReplyOutcome IntakeSensorReply(const StationEvent &event);

    // Steady-state table and its CSV log (window thread only).
    SteadyTable &Steady() { return *steady_; }
    SteadyLog &SteadyLogger() { return *steadyLog_; }
    // The steady-state part of the 500 ms timer; returns texts for the operator.
    // After the tick every consumer gets the tick's snapshot.
    std::vector<std::string> SteadyTick();
    // Consumers of every tick's snapshot (window thread); each must outlive
    // the station or be removed first.
    void AddSteadyConsumer(SteadySnapshotConsumer *consumer);
    void RemoveSteadyConsumer(SteadySnapshotConsumer *consumer);
    const SteadySnapshot &LastSnapshot() const { return snapshot_; }
    const StationSettings &Settings() const { return settings_; }
    // The durable history's writer while it runs (settings and the folder's
    // lock allow it), else null. Window thread.
    HistoryWriter *History() { return history_.get(); }
    // The broker link, when [mqtt] or --mqtt configured one and it started;
    // null otherwise. Created at Start, stopped (with "offline") at Stop.
    MqttPublisher *Mqtt() { return mqtt_.get(); }
    std::string SettingsPath() const { return startFolder_ + "/" + kStationSettingsFileName; }
    // Applies the machine and capture settings of station.toml that the
    // settings watcher read since the last call, when the file changed; a
    // file that is not TOML at all, or empty, keeps the settings there were. Window
    // thread: it never touches the file itself (the watcher's thread looks
    // every 2 s), so it may run on every tick. Returns texts for the operator.
    std::vector<std::string> ApplyReloadedSettings();
    // New machine and capture settings (the machine settings dialog saved).
    // Alarms that end because of them are told in *told.
    void ApplyAlarmSettings(const StationSettings &settings, std::vector<std::string> *told = nullptr);

    // Alarms on every tick, and the raw captures around them (window thread,
    // except where AlarmCapture says otherwise).
    AlarmEngine &Alarms() { return *alarms_; }
    AlarmCapture &Captures() { return *captures_; }
    // The severity trend's time to alarm of a sensor's axis: "预计 N 天后达到
    // 预警" or "" without a forecast (window thread; never waits on disk).
    std::string TimeToAlarm(int32_t address, int axis) const;
    // The forecasts while the history runs, else null.
    TrendForecaster *Trends() { return trend_.get(); }
    health::BandMonitor &Bands() { return *bands_; }
    // A capture asked for that could not be kept: the alarm and the alarm
    // log stop naming the file and say none was kept. Window thread.
    void NoteCaptureLost(const std::string &path);
    // "存储": logging into DataFolder().
    std::vector<std::string> StartSteadyLog() { return steadyLog_->Start(*table_, dataFolder_); }

private:
    void StartHistory();
    void StopHistory();
    void StartMqtt(std::vector<std::string> *messages);

    std::string startFolder_;
    std::string dataFolder_;
    int port_;
    EventSink &sink_;
    std::unique_ptr<ConnectionTable> table_;
    std::unique_ptr<DeviceParameterTable> deviceTable_;
    std::unique_ptr<SensorSettingsCache> settingsCache_;
    std::unique_ptr<LivePlots> plots_;
    std::unique_ptr<Recorder> recorder_;  // before the conditioning that feeds it
    std::unique_ptr<Conditioner> conditioner_;
    std::unique_ptr<FrameParser> handler_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<ProcessingThread> processing_;  // speeds and live spectra
    std::unique_ptr<Replayer> replayer_;
    std::unique_ptr<SteadyTable> steady_;
    std::unique_ptr<SteadyLog> steadyLog_;  // after steady_: closes its files first
    SensorHealth health_[kSlotCount];        // each slot's sensor faults, judged per window
    std::unique_ptr<TrendForecaster> trend_;  // time to alarm, from the history's file
    std::unique_ptr<AlarmCapture> captures_;
    std::unique_ptr<AlarmEngine> alarms_;
    std::unique_ptr<health::BandMonitor> bands_;
    StationSettings settings_;
    std::unique_ptr<HistoryWriter> history_;  // a steady consumer; stopped first
    std::unique_ptr<MqttPublisher> mqtt_;
    std::unique_ptr<MqttAlarmBridge> mqttAlarms_;  // after mqtt_: gone before it
    std::unique_ptr<SettingsWatcher> settingsWatcher_;  // station.toml, looked at off the window thread
    SteadySnapshot snapshot_;
    int64_t tickUtcMs_ = 0;  // during a tick: its wall-clock time (window thread)
    std::vector<SteadySnapshotConsumer *> steadyConsumers_;
    bool stopped_ = false;
};

}  // namespace tav
