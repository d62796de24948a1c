#include "sim/SensorStats.h"

#include <cinttypes>
#include <cstdio>

namespace tav::sim {

SensorCounts &SensorCounts::operator+=(const SensorCounts &o)
{
    bytesSent += o.bytesSent;
    packetsSent += o.packetsSent;
    repliesSent += o.repliesSent;
    replyBytesSent += o.replyBytesSent;
    packetsSkipped += o.packetsSkipped;
    commandsReceived += o.commandsReceived;
    badCommands += o.badCommands;
    commandBytesDropped += o.commandBytesDropped;
    connects += o.connects;
    connectFailures += o.connectFailures;
    closedByStation += o.closedByStation;
    junkBytesInserted += o.junkBytesInserted;
    damagedPackets += o.damagedPackets;
    truncations += o.truncations;
    churnCloses += o.churnCloses;
    return *this;
}

std::string SensorCounts::Summary() const
{
    std::string s;
    char buf[64];
    auto add = [&](const char *name, uint64_t v, bool always) {
        if (!always && v == 0)
            return;
        std::snprintf(buf, sizeof buf, "%s%s=%" PRIu64, s.empty() ? "" : " ", name, v);
        s += buf;
    };
    add("bytes", bytesSent, true);
    add("packets", packetsSent, true);
    add("replies", repliesSent, true);
    add("commands", commandsReceived, true);
    add("connects", connects, true);
    add("skipped", packetsSkipped, false);
    add("bad-commands", badCommands, false);
    add("command-bytes-dropped", commandBytesDropped, false);
    add("connect-failures", connectFailures, false);
    add("closed-by-station", closedByStation, false);
    add("junk-bytes", junkBytesInserted, false);
    add("damaged-packets", damagedPackets, false);
    add("truncations", truncations, false);
    add("churn-closes", churnCloses, false);
    return s;
}

SensorCounts SensorStats::Snapshot() const
{
    auto r = [](const std::atomic<uint64_t> &a) { return a.load(std::memory_order_relaxed); };
    SensorCounts c;
    c.bytesSent = r(bytesSent);
    c.packetsSent = r(packetsSent);
    c.repliesSent = r(repliesSent);
    c.replyBytesSent = r(replyBytesSent);
    c.packetsSkipped = r(packetsSkipped);
    c.commandsReceived = r(commandsReceived);
    c.badCommands = r(badCommands);
    c.commandBytesDropped = r(commandBytesDropped);
    c.connects = r(connects);
    c.connectFailures = r(connectFailures);
    c.closedByStation = r(closedByStation);
    c.junkBytesInserted = r(junkBytesInserted);
    c.damagedPackets = r(damagedPackets);
    c.truncations = r(truncations);
    c.churnCloses = r(churnCloses);
    return c;
}

}  // namespace tav::sim
