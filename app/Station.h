#pragma once
// The station's core: every table and thread, without any window. The Qt
// main window owns one Station and shows what it reports.
#include <memory>
#include <string>
#include <vector>

#include "config/DeviceParameterTable.h"
#include "config/SensorCodes.h"
#include "config/SensorSettingsCache.h"
#include "net/ConnectionTable.h"
#include "net/EventSink.h"
#include "net/Server.h"
#include "view/LivePlots.h"

namespace tav {

class ProcessingThread;

struct StationOptions {
    int port = kDefaultPort;      // 0 = ephemeral (tests)
    std::string startFolder;      // folder the station started in; "" = current
};

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
    LivePlots &Plots() { return *plots_; }
    int Port() const { return server_->Port(); }
    const std::string &StartFolder() const { return startFolder_; }
    const std::string &DataFolder() const { return dataFolder_; }

    // Work mode and rated speed per sensor, loaded at Start (window thread).
    DeviceParameterTable &DeviceTable() { return *deviceTable_; }
    std::string DeviceParameterPath() const { return startFolder_ + "/" + kDeviceParameterFileName; }
    std::string SensorCodesPath() const { return startFolder_ + "/" + kSensorCodesFileName; }
    // Sensors' answers to register reads, per slot (window thread).
    SensorSettingsCache &SettingsCache() { return *settingsCache_; }
    // Window thread, on kSensorReplyEvent: decodes the frame copy that the
    // event carries (data/length, lParam = slot) into the settings cache.
    ReplyOutcome IntakeSensorReply(const StationEvent &event);

private:
    std::string startFolder_;
    std::string dataFolder_;
    int port_;
    EventSink &sink_;
    std::unique_ptr<ConnectionTable> table_;
    std::unique_ptr<DeviceParameterTable> deviceTable_;
    std::unique_ptr<SensorSettingsCache> settingsCache_;
    std::unique_ptr<ConnectionHandler> handler_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<LivePlots> plots_;
    std::unique_ptr<ProcessingThread> processing_;  // speeds and live spectra
    bool stopped_ = false;
};

}  // namespace tav
