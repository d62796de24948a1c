// libFuzzer target: a .vdat file as the operator may open any file: loaded
// into the global recording buffer and, when accepted, replayed through the
// conditioning to its end (a file's later packets carry any sampling
// frequency and sensor address).
#include <cstdint>

#include "core/processing/Conditioner.h"
#include "core/processing/LivePlots.h"
#include "core/record/Recorder.h"
#include "core/record/Replayer.h"
#include "tests/fuzz/FuzzFile.h"

namespace {
struct NullSink : tav::EventSink {
    void Post(const tav::StationEvent &) override {}
};

struct World {
    NullSink sink;
    std::string folder = "/tmp";
    tav::ConnectionTable table;
    tav::LivePlots plots;
    tav::Recorder recorder{table, sink, folder};
    tav::Conditioner conditioner{table, plots, sink, &recorder};
    tav::Replayer replayer{recorder, &conditioner};
    tav::fuzz::FuzzFile file{"input.vdat"};
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *w = new World;
    if (!w->file.Write(data, size))
        return 0;
    tav::LoadResult r = w->recorder.Load(w->file.Path());
    if (!r.ok)
        return 0;
    if (size > 0 && (data[size - 1] & 1))
        w->table.selectedConnection = -1;  // replay picks slot 0 itself
    if (!w->replayer.Start())
        return 0;
    for (int tick = 0; tick < 400 && w->recorder.AcquisitionState() == 2; ++tick) {
        if (tick == 1 && size > 1 && (data[size - 2] & 1))
            w->replayer.Reposition(data[0] % 101);
        w->replayer.Tick();
    }
    w->recorder.StopAcquisition();
    return 0;
}
