// Receive path of the station: 40 loopback connections through the server
// and the rings, with a consumer that only drains. Prints figures.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "Figure.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"

using namespace std::chrono;

int main()
{
    tav::test::RecordingEventSink sink;
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = "/tmp";
    tav::Station station(options, sink);
    std::vector<std::string> errors;
    if (station.Start(&errors) != 0) {
        std::printf("station did not start\n");
        return 1;
    }
    const int n = tav::kSlotCount;
    std::vector<int> fds;
    for (int i = 0; i < n; ++i)
        fds.push_back(tav::test::ConnectLoopback(station.Port()));
    tav::test::WaitFor([&] { return station.Table().CountInUse() == n; });

    // Idle: 40 connected sensors that send nothing.
    double c0 = tav::bench::ProcessUsage().cpu;
    auto t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(3));
    double idleCpu = (tav::bench::ProcessUsage().cpu - c0) / duration<double>(steady_clock::now() - t0).count();
    std::printf("idle, 40 connected:   station CPU %.3f %% of one core (goal < 1 %%)\n", idleCpu * 100);
    std::printf("RSS with 40 connected: %.1f MB (goal < 250 MB)\n", tav::bench::RssMb());

    // Unpaced ingest: every client pushes as fast as it can for a few seconds.
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    std::vector<uint8_t> chunk(65536, 0xA5);
    for (int fd : fds)
        senders.emplace_back([&, fd] {
            while (!stop)
                tav::test::SendAll(fd, chunk.data(), chunk.size());
        });
    uint64_t before = 0;
    for (auto &r : station.Table().records)
        before += r.bytesReceived.load();
    t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(4));
    uint64_t after = 0;
    for (auto &r : station.Table().records)
        after += r.bytesReceived.load();
    double secs = duration<double>(steady_clock::now() - t0).count();
    stop = true;
    for (int fd : fds)
        ::shutdown(fd, SHUT_RDWR);
    for (auto &t : senders)
        t.join();
    std::printf("unpaced ingest, 40 connections: %.0f MB/s through receive + ring (goal >= 300 MB/s)\n",
                double(after - before) / secs / 1e6);
    tav::bench::PrintFigure("unpaced ingest, 40 connections", double(after - before) / secs / 1e6, "MB/s",
                            ">= 300");
    station.Stop();
    for (int fd : fds)
        ::close(fd);
    return 0;
}
