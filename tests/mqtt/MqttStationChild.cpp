// A windowless station publishing to a broker, for the test that kills it:
//   mqtt_station_child URL PREFIX FOLDER
#include <unistd.h>

#include <cstdio>

#include "core/station/Station.h"

namespace {
struct NullSink : tav::EventSink {
    void Post(const tav::StationEvent &) override {}
};
}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    NullSink sink;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = argv[3];
    options.settings.mqtt.url = argv[1];
    options.settings.mqtt.topicPrefix = argv[2];
    tav::Station station(options, sink);
    std::vector<std::string> messages;
    if (station.Start(&messages) != 0 || !station.Mqtt())
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        station.SteadyTick();
        ::usleep(500000);
    }
}
