#pragma once
// The station's core: every table and thread, without any window. The Qt
// main window owns one Station and shows what it reports.
#include <memory>
#include <string>
#include <vector>

#include "net/ConnectionTable.h"
#include "net/EventSink.h"
#include "net/Server.h"
#include "steady/SteadyLog.h"
#include "steady/SteadyTable.h"

namespace tav {

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
    int Port() const { return server_->Port(); }
    const std::string &StartFolder() const { return startFolder_; }
    const std::string &DataFolder() const { return dataFolder_; }

    // Steady-state table and its CSV log (window thread only).
    SteadyTable &Steady() { return *steady_; }
    SteadyLog &SteadyLogger() { return *steadyLog_; }
    // The steady-state part of the 500 ms timer; returns texts for the operator.
    std::vector<std::string> SteadyTick() { return steady_->Tick(*table_, steadyLog_.get()); }
    // "存储": logging into DataFolder().
    std::vector<std::string> StartSteadyLog() { return steadyLog_->Start(*table_, dataFolder_); }

private:
    std::string startFolder_;
    std::string dataFolder_;
    int port_;
    EventSink &sink_;
    std::unique_ptr<ConnectionTable> table_;
    std::unique_ptr<ConnectionHandler> handler_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<SteadyTable> steady_;
    std::unique_ptr<SteadyLog> steadyLog_;  // after steady_: closes its files first
    bool stopped_ = false;
};

}  // namespace tav
