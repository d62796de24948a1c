#pragma once
// The live view's shared data: the main window's six plots and the inputs of
// the live spectra. Owned by the Station, drawn by the window.
#include <atomic>
#include <mutex>

#include "core/plotting/PlotData.h"
#include "core/processing/LiveCapture.h"

namespace tav {

struct LivePlots {
    PlotData time[3];      // X, Y, Z time plots: written by the displayed connection's parser thread
    PlotData spectrum[3];  // X, Y, Z spectra: written by the processing thread

    // Real input of the live spectra, filled by the window on live blocks and
    // read by the processing thread; guarded by spectrumInputMutex.
    std::mutex spectrumInputMutex;
    float spectrumInput[3][kPlotPoints] = {};

    std::atomic<int> spectrumTicks{0};  // live blocks since the spectra were last computed
    std::atomic<int> highPassOn{1};     // 10 Hz high-pass of velocity and displacement
    // Set when a live-block event is posted, cleared by the window when it
    // handles one, so that a busy window never builds a backlog of redraws.
    std::atomic<bool> liveBlockPending{false};

    // The newest seconds of the shown connection's conditioned signals, kept
    // while an analysis reads them.
    LiveCapture capture;
};

}  // namespace tav
