#pragma once
// The operator's script of the soak, the same for the window and for the
// bare core: a cycle of actions (selection, plots, high-pass, recording,
// pause, save while recording, replay of a saved file, steady log, viewer,
// parameter dialog and commands), periodic checks, then the orderly end:
// fleet stopped, every connection released, a new sensor timed, figures.
// Driver thread only; Tick() is called every 100 ms or so.
#include <memory>
#include <string>
#include <vector>

#include "core/station/Station.h"
#include "tests/soak/HostileClients.h"
#include "tests/soak/Soak.h"

namespace tav::sim {
class SimSensor;
}

namespace tav::soak {

// What the operator does, by the window's controls or by core calls.
class Operator {
public:
    virtual ~Operator() = default;
    virtual void SelectSlot(int slot) = 0;
    virtual void ToggleHighPass() = 0;
    virtual void TogglePlotPause() = 0;  // the synchronous pause and one axis's
    virtual void StartRecording() = 0;
    virtual void TogglePause() = 0;
    virtual void StopAcquisition() = 0;
    virtual void Save() = 0;
    // Opens a saved .vdat; false when the station refused it.
    virtual bool OpenRecording(const std::string &path) = 0;
    virtual void StartReplay() = 0;
    virtual void StartSteadyLog() = 0;
    virtual void StopSteadyLog() = 0;
    // True when a viewer came up and was closed.
    virtual bool OpenViewer() = 0;
    virtual void OpenParameters() = 0;
    // Sends read commands to the selected sensor; returns how many went out.
    virtual int SendCommands(int *refused) = 0;
    virtual void CloseParameters() = 0;
};

class SoakDriver {
public:
    SoakDriver(Station &station, Operator &op, LedgerSink &ledger, const SoakOptions &options, std::string folder);
    ~SoakDriver();

    // Starts the fleet; false with the reason.
    bool Start(std::string *error);
    // One step; returns false once the run is over and the report printed.
    bool Tick();
    // Exit status: 0, or 1 with --assert and a problem found.
    int Result() const;
    SoakFigures &Figures() { return f_; }

private:
    void Script(double t);
    void Check(double t);
    void CheckServed(double t);
    void ReportHostile();
    void FinishSave();
    void ReplaySaved();
    bool End(double now);
    int SlotOfAddress(uint32_t address) const;
    void Act(const std::string &name) { ++f_.actions[name]; }

    Station &station_;
    Operator &op_;
    LedgerSink &ledger_;
    SoakOptions options_;
    std::string folder_;
    SoakFleet fleet_;
    SoakFigures f_;
    double start_ = 0, nextCheck_ = 0, lastStep_ = -1, lastSaveEnd_ = -100;
    bool waitingLaunched_ = false, baselineTaken_ = false;
    bool saveRunning_ = false, logRunning_ = false, replayRunning_ = false;
    bool replayDue_ = false;  // the cycle's replay waits for its save to end
    std::string replayFile_;
    std::vector<std::string> keptFiles_;
    int cycle_ = -1;
    unsigned pick_ = 0;
    // End phases.
    int endPhase_ = 0;
    double endPhaseAt_ = 0, quietSince_ = 0;
    std::unique_ptr<sim::SimSensor> probe_;
    // The hostile peers: silent and garbage ones connect before the fleet.
    HostileClients hostile_;
    double fleetAt_ = -1;  // run time the fleet was started, -1 before
    bool hostileClientsStarted_ = false;
    std::vector<uint32_t> fleetAddresses_;
    std::map<uint32_t, double> firstServed_;  // address: seconds after the fleet started
    bool servedChecked_ = false, outsiderServed_ = false;
    double probeStart_ = 0;
    bool done_ = false;
};

}  // namespace tav::soak
