#include "sim/SimFleet.h"

#include <cinttypes>
#include <cstdio>

namespace tav::sim {

std::vector<SensorConfig> FleetConfig::Expand() const
{
    std::vector<SensorConfig> out;
    int index = 0;
    for (int i = 0; i < sensors; ++i, ++index) {
        SensorConfig c = base;
        c.kind = PeerKind::Sensor;
        c.index = index;
        c.address = duplicateAddress ? firstAddress : firstAddress + uint32_t(i);
        c.rpm = (rpms.empty() ? base.rpm : rpms[size_t(i) % rpms.size()]) + rpmStep * i;
        if (!axisSignals.empty())
            c.axes = axisSignals[size_t(i) % axisSignals.size()];
        c.seed = seed * 1000003u + uint32_t(index);
        if (driftSensors >= 0 && i >= driftSensors)
            c.driftPerMinute = 0;
        out.push_back(c);
    }
    for (int i = 0; i < garbagePeers + silentPeers; ++i, ++index) {
        SensorConfig c = base;
        c.kind = i < garbagePeers ? PeerKind::Garbage : PeerKind::Silent;
        c.index = index;
        c.address = 0;
        c.churn = c.truncate = false;
        c.seed = seed * 1000003u + uint32_t(index);
        out.push_back(c);
    }
    return out;
}

SimFleet::SimFleet(const FleetConfig &config)
{
    for (const auto &c : config.Expand())
        peers_.push_back(std::make_unique<SimSensor>(c));
}

SimFleet::~SimFleet() { Stop(); }

void SimFleet::Start()
{
    for (auto &p : peers_)
        p->Start();
}

void SimFleet::Stop()
{
    for (auto &p : peers_)
        p->RequestStop();
    for (auto &p : peers_)
        p->Stop();
}

int SimFleet::ConnectedCount() const
{
    int n = 0;
    for (const auto &p : peers_)
        n += p->Connected() ? 1 : 0;
    return n;
}

SensorCounts SimFleet::Totals() const
{
    SensorCounts total;
    for (const auto &p : peers_)
        total += p->Stats().Snapshot();
    return total;
}

std::string SimFleet::Report() const
{
    std::string s;
    char head[96];
    for (const auto &p : peers_) {
        const auto &c = p->Config();
        if (c.kind == PeerKind::Sensor)
            std::snprintf(head, sizeof head, "  sensor %2d address %-5u %6.0f rpm: ", c.index, p->Address(), c.rpm);
        else
            std::snprintf(head, sizeof head, "  %s peer %2d: ", c.kind == PeerKind::Garbage ? "garbage" : "silent",
                          c.index);
        s += head + p->Stats().Snapshot().Summary() + "\n";
    }
    s += "  total: " + Totals().Summary() + "\n";
    return s;
}

std::string SimFleet::ReportJson() const
{
    std::string s;
    char line[768];
    for (const auto &p : peers_) {
        const auto &c = p->Config();
        const SensorCounts n = p->Stats().Snapshot();
        const char *kind = c.kind == PeerKind::Sensor ? "sensor" : c.kind == PeerKind::Garbage ? "garbage" : "silent";
        std::snprintf(line, sizeof line,
                      "{\"kind\":\"%s\",\"index\":%d,\"address\":%u,\"bytes\":%" PRIu64 ",\"packets\":%" PRIu64
                      ",\"replies\":%" PRIu64 ",\"replyBytes\":%" PRIu64 ",\"skipped\":%" PRIu64
                      ",\"commands\":%" PRIu64 ",\"badCommands\":%" PRIu64 ",\"connects\":%" PRIu64
                      ",\"closedByStation\":%" PRIu64 ",\"junkBytes\":%" PRIu64 ",\"damagedPackets\":%" PRIu64
                      ",\"truncations\":%" PRIu64 ",\"churnCloses\":%" PRIu64 "}\n",
                      kind, c.index, p->Address(), n.bytesSent, n.packetsSent, n.repliesSent, n.replyBytesSent,
                      n.packetsSkipped, n.commandsReceived, n.badCommands, n.connects, n.closedByStation,
                      n.junkBytesInserted, n.damagedPackets, n.truncations, n.churnCloses);
        s += line;
    }
    return s;
}

}  // namespace tav::sim
