#pragma once
// The thread that computes the analysis window's spectrum: twice a second
// it takes the newest acceleration of the shown connection's chosen axis
// from the live capture, adds its spectrum (or, in the envelope mode, the
// spectrum of its envelope in a band) to the average, integrates that to the
// chosen quantity and finds the peaks. The window sets what it wants and reads the latest
// result on its own timer; neither waits for the other.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "core/analysis/Envelope.h"
#include "core/analysis/FrequencyIntegration.h"
#include "core/analysis/FrequencyLines.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/LivePlots.h"

namespace tav::analysis {

enum class Mode { Spectrum = 0, Envelope = 1 };

// What the window asks for.
struct Request {
    Mode mode = Mode::Spectrum;
    int axis = 0;      // 0 X, 1 Y, 2 Z
    // 0 acceleration g, 1 velocity mm/s, 2 displacement mm (integrated from
    // the acceleration's spectrum); the envelope's is always 0
    int quantity = 0;
    Options spectrum;  // the envelope's highest line is spectrum.spanHz
    EnvelopeBand band; // envelope: the band demodulated
    bool ratedSpeed = false;  // orders of the device table's rated speed, not the measured one
    double fromHz = 0, toHz = kSpanHz;  // where the peaks are looked for
};

struct Result {
    uint64_t sequence = 0;  // grows with every result
    Request request;        // what this result answers
    int slot = -1;          // shown connection, -1 for none
    double fs = 0;
    Layout layout;
    int averaged = 0;
    double collectedSeconds = 0;  // data kept so far, while fewer than the length
    bool ready = false;           // a spectrum is there
    std::vector<float> amplitude; // per line, in the quantity's unit
    std::vector<Peak> peaks;
    double rpm = 0;               // running speed the orders refer to
    bool rpmGuessed = false;      // measured without a device record bounding the search
};

class AnalysisWorker {
public:
    static constexpr std::chrono::milliseconds kPeriod{500};

    // Both must outlive the worker.
    AnalysisWorker(ConnectionTable &table, LivePlots &plots);
    ~AnalysisWorker();  // stops and joins
    AnalysisWorker(const AnalysisWorker &) = delete;
    AnalysisWorker &operator=(const AnalysisWorker &) = delete;

    // Owner's thread. Start switches the live capture on; Stop joins the
    // thread and switches it off.
    void Start();
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // Any thread.
    void SetRequest(const Request &request);
    Request CurrentRequest() const;
    void ResetAverage();
    uint64_t Sequence() const;
    // Copies the latest result into `out` when it is newer than `seen`.
    bool TakeResult(Result &out, uint64_t seen) const;

    // One computation, as the thread does it every kPeriod. Tests call it
    // while the thread is not running.
    void Step();

private:
    void Run();
    void Publish(Result &r);

    ConnectionTable &table_;
    LivePlots &plots_;

    mutable std::mutex requestMutex_;  // guards request_, resetAsked_
    Request request_;
    bool resetAsked_ = false;

    // Worker's own.
    SpectrumAnalyser analyser_;
    EnvelopeAnalyser envelope_;
    SpectrumIntegrator integrator_;
    std::vector<float> data_;
    Request last_;
    LiveCapture::Info seen_;
    Result work_;

    mutable std::mutex resultMutex_;  // guards result_
    Result result_;

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

}  // namespace tav::analysis
