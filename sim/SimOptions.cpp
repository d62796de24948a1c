#include "sim/SimOptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace tav::sim {

namespace {

bool ToDouble(const std::string &s, double *out)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool ToLong(const std::string &s, long long *out)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || end != s.c_str() + s.size())
        return false;
    *out = v;
    return true;
}

}  // namespace

FleetConfig DefaultFleetConfig()
{
    FleetConfig f;
    std::string unused;
    ParseAxisSignal("1x=0.5,2x=0.15,3x=0.05,noise=0.01", &f.base.axes[0], &unused);
    ParseAxisSignal("1x=0.3,2x=0.1,noise=0.01", &f.base.axes[1], &unused);
    ParseAxisSignal("1x=0.2,noise=0.01", &f.base.axes[2], &unused);
    return f;
}

FleetConfig DemoFleetConfig()
{
    FleetConfig f = DefaultFleetConfig();
    f.sensors = 4;
    f.firstAddress = 1;
    f.rpms = {1500, 2970, 1800, 3000};
    f.base.rpm = f.rpms.front();
    // Machines in good order, as a plant has most of them: the velocity RMS
    // of the worst axis (X) is 1.6, 2.0, 1.0 and 1.8 mm/s, which puts them in
    // zones A, B, A and A of the classes tools/demo-station.toml gives them.
    // A sine of A g at f Hz has a velocity RMS of A x 1103.6 / f mm/s.
    const char *const axes[4][3] = {
        // 1号风机 电机端, 25 Hz: 1.5, 0.5 and 0.2 mm/s at 1x, 2x and 3x.
        {"1x=0.034,2x=0.0227,3x=0.0136,noise=0.005", "1x=0.025,2x=0.0136,noise=0.005", "1x=0.0136,noise=0.005"},
        // 2号压缩机, 49.5 Hz: 1.7, 0.9 and 0.5 mm/s.
        {"1x=0.0762,2x=0.0807,3x=0.0673,noise=0.005", "1x=0.0538,2x=0.0538,noise=0.005", "1x=0.0359,noise=0.005"},
        // 3号风机, 30 Hz: 0.9, 0.4 and 0.15 mm/s.
        {"1x=0.0245,2x=0.0217,3x=0.0122,noise=0.005", "1x=0.019,2x=0.0109,noise=0.005", "1x=0.0136,noise=0.005"},
        // 4号发电机, 50 Hz: 1.5, 0.9 and 0.3 mm/s.
        {"1x=0.068,2x=0.0816,3x=0.03,noise=0.005", "1x=0.0544,2x=0.0453,noise=0.005", "1x=0.0317,noise=0.005"},
    };
    std::string unused;
    f.axisSignals.resize(4);
    for (int s = 0; s < 4; ++s)
        for (int a = 0; a < 3; ++a)
            ParseAxisSignal(axes[s][a], &f.axisSignals[size_t(s)][size_t(a)], &unused);
    return f;
}

std::string SimUsage()
{
    return R"(Usage: tavenor-sim [options]
Simulated tri-axial vibration sensors: each one is a TCP client that connects
to the station, streams 1420-byte waveform packets paced by the clock and
answers register commands. Sensors reconnect about once a second when the
station is not there yet or closes them. Counts are printed on exit
(Ctrl-C, SIGTERM or --duration).

Connection
  --host ADDR             station address: dotted IPv4 or localhost (default 127.0.0.1)
  --port N                station port (default 22009)
  --sensors N             number of sensors, one connection each (default 1)
  --first-address A       address of the first sensor; the next ones count up (default 1)
  --reconnect-ms MS       pause between connection attempts (default 1000)
  --demo                  the demo fleet of `make run`: 4 sensors, addresses 1 to 4, at
                          1500, 2970, 1800 and 3000 rpm, each with its own signals at
                          1-2 mm/s velocity RMS (options after it change it; --x, --y,
                          --z and --sine then apply to all four)

Signal
  --fs HZ                 sampling frequency (default 26667)
  --temperature C         temperature each sensor reports (default 25)
  --rpm R[,R...]          running speed; with a list, sensor i takes entry i
                          (cycling), e.g. --rpm 1500,2970,1800,3000 (default 1500)
  --rpm-step D            sensor i runs D x i rpm faster on top of --rpm (default 0)
  --x SIGNAL, --y SIGNAL, --z SIGNAL
                          what each axis measures, in g; items separated by commas:
                            1x=0.5      order 1 of the running speed, 0.5 g peak
                            2.5x=0.1@90 order 2.5, 0.1 g, starting at 90 degrees
                            159.15hz=1  fixed 159.15 Hz sine, 1 g peak
                            noise=0.01  Gaussian noise, 0.01 g standard deviation
                            dc=1        constant offset, 1 g
                            none        a quiet axis
                          defaults: x "1x=0.5,2x=0.15,3x=0.05,noise=0.01",
                                    y "1x=0.3,2x=0.1,noise=0.01", z "1x=0.2,noise=0.01"
  --sine HZ:G             shortcut: X a plain sine of G g at HZ, Y and Z quiet
                          (e.g. --sine 159.15:1)
  Samples are clipped to the measuring range of register 1 (default +-8 g).

Run
  --drift PCT             every sine's amplitude grows by PCT % of its start value
                          per minute (e.g. 40: 2.2 times after 3 minutes; at most 100 times)
  --drift-sensors N       only the first N sensors drift (default: all)
  --duration S            stop after S seconds (default: run until interrupted)
  --stats-every S         print the fleet's counts every S seconds (default: only on exit)
  --burst-ms MS           send what is due every MS milliseconds (default 20)
  --seed N                seed of noise and faults (default 1)
  --quiet                 no per-sensor event lines, only the final counts
  --report-file PATH      at exit, also write every peer's counts to PATH, one
                          JSON object per peer and line (written whole, then renamed)
  --time-stamps           bytes 20..23 of each packet carry the time it was sent
                          (steady clock, microseconds, low 32 bits), for latency
                          measurements on the same machine
  --write-device-records PATH
                          instead of running, add a device record for each sensor to
                          the station's devicepara.dat at PATH (work mode 工频, rated
                          speed the simulated speed), as the parameter dialog would
                          save it, and exit; start the station on that folder after

Stations on a broker (no TCP sensors)
  --publish URL           act as many stations publishing to the MQTT broker at URL
                          (mqtt://host[:port]): each station one connection with the
                          station's own topics and payloads, QoS 1, retained status,
                          states and alarm lists, its last will; --sensors sensors each
                          (default 40, at most 40) with slowly varying values; one
                          sensor in sixteen swings over its alert limit for 40 s in
                          every 4 minutes, raising, clearing and (20 s later)
                          acknowledging an alarm. Message counts are printed on exit
  --stations N            number of stations (default 1)
  --prefix-root P         station i publishes under P/st01, P/st02, ... (default tavenor/sim)
  --interval-ms MS        one tick, and a steady message per sensor, every MS
                          milliseconds (default 500)
  --port N                with --publish: the station port the status messages name

Faults
  --churn                 sensors disconnect between packets and come back
  --churn-period S        mean connection lifetime with --churn (default 5)
  --corrupt-rate P        per packet, with probability P either insert 1-16 junk
                          bytes before it or flip one of its marker bytes
  --truncate              close each connection in the middle of a packet
  --truncate-after S      ... S seconds after it was made (default 2)
  --duplicate-address     every sensor reports --first-address
  --garbage               add a peer that sends random bytes at a sensor's rate
  --garbage-peers N       add N such peers
  --silent                add a peer that connects and sends nothing
  --silent-peers N        add N such peers
  --fs-change-after S     switch to the frequency --fs2 S seconds after start
  --fs2 HZ                the frequency taken over by --fs-change-after

Command replies
  --reply-delay-ms MS     answer commands MS milliseconds late
  --no-replies            apply commands but never answer
  --wrong-register-count  answer reads with one register more than asked
  --reply-length L        every reply claims (and has) a total length of L bytes
  --help                  this text
)";
}

ParseResult ParseSimOptions(const std::vector<std::string> &args, FleetConfig *out, std::string *error)
{
    FleetConfig f = DefaultFleetConfig();
    SensorConfig &b = f.base;

    using Handler = std::function<bool(const std::string &)>;
    auto number = [](double *dst, double lo, double hi) -> Handler {
        return [=](const std::string &v) {
            double d;
            if (!ToDouble(v, &d) || d < lo || d > hi)
                return false;
            *dst = d;
            return true;
        };
    };
    auto integer = [](auto *dst, long long lo, long long hi) -> Handler {
        return [=](const std::string &v) {
            long long n;
            if (!ToLong(v, &n) || n < lo || n > hi)
                return false;
            *dst = static_cast<std::remove_pointer_t<decltype(dst)>>(n);
            return true;
        };
    };
    // An axis given after --demo applies to every demo sensor.
    auto axis = [&f](int index, std::string *why) -> Handler {
        return [&f, index, why](const std::string &v) {
            if (!ParseAxisSignal(v, &f.base.axes[size_t(index)], why))
                return false;
            for (auto &signal : f.axisSignals)
                signal[size_t(index)] = f.base.axes[size_t(index)];
            return true;
        };
    };

    double temperature = b.temperature;
    double driftPercent = b.driftPerMinute * 100;
    double reconnectMs = b.reconnectDelay * 1000, burstMs = b.burstInterval * 1000;
    std::string signalError;
    bool help = false;

    const std::map<std::string, Handler> withValue = {
        {"--host",
         [&](const std::string &v) {
             in_addr a;
             if (v != "localhost" && inet_pton(AF_INET, v.c_str(), &a) != 1)
                 return false;
             b.host = v;
             return true;
         }},
        {"--port", integer(&b.port, 1, 65535)},
        {"--sensors", integer(&f.sensors, 0, 1000)},
        {"--first-address", integer(&f.firstAddress, 0, 0xFFFFFFFFll)},
        {"--reconnect-ms", number(&reconnectMs, 10, 60000)},
        {"--fs", number(&b.fs, 1, 1e6)},
        {"--fs2", number(&b.fs2, 1, 1e6)},
        {"--fs-change-after", number(&b.fsChangeAfter, 0, 1e9)},
        {"--temperature", number(&temperature, -273, 1000)},
        {"--rpm",
         [&](const std::string &v) {
             f.rpms.clear();
             size_t pos = 0;
             while (pos <= v.size()) {
                 size_t comma = v.find(',', pos);
                 if (comma == std::string::npos)
                     comma = v.size();
                 double r;
                 if (!ToDouble(v.substr(pos, comma - pos), &r) || r < 0 || r > 1e6)
                     return false;
                 f.rpms.push_back(r);
                 pos = comma + 1;
             }
             b.rpm = f.rpms.front();
             return true;
         }},
        {"--rpm-step", number(&f.rpmStep, -1e6, 1e6)},
        {"--x", axis(0, &signalError)},
        {"--y", axis(1, &signalError)},
        {"--z", axis(2, &signalError)},
        {"--sine",
         [&](const std::string &v) {
             size_t colon = v.find(':');
             if (colon == std::string::npos)
                 return false;
             AxisSignal x;
             if (!ParseAxisSignal(v.substr(0, colon) + "hz=" + v.substr(colon + 1), &x, &signalError))
                 return false;
             b.axes = {x, AxisSignal{}, AxisSignal{}};
             for (auto &signal : f.axisSignals)
                 signal = b.axes;
             return true;
         }},
        {"--duration", number(&f.duration, 0, 1e9)},
        {"--drift", number(&driftPercent, -100, 10000)},
        {"--drift-sensors", integer(&f.driftSensors, 0, 1000)},
        {"--stats-every", number(&f.statsEvery, 0, 1e6)},
        {"--burst-ms", number(&burstMs, 1, 1000)},
        {"--seed", integer(&f.seed, 0, 0xFFFFFFFFll)},
        {"--report-file",
         [&](const std::string &v) {
             if (v.empty())
                 return false;
             f.reportFile = v;
             return true;
         }},
        {"--write-device-records",
         [&](const std::string &v) {
             if (v.empty())
                 return false;
             f.deviceRecordsFile = v;
             return true;
         }},
        {"--publish",
         [&](const std::string &v) {
             if (v.rfind("mqtt://", 0) != 0)
                 return false;
             f.publish.url = v;
             return true;
         }},
        {"--stations", integer(&f.publish.stations, 1, 1000)},
        {"--interval-ms", integer(&f.publish.intervalMs, 100, 3600000)},
        {"--prefix-root",
         [&](const std::string &v) {
             if (v.empty() || v.find_first_of("#+") != std::string::npos || v.front() == '/' || v.back() == '/')
                 return false;
             f.publish.prefixRoot = v;
             return true;
         }},
        {"--churn-period", number(&b.churnPeriod, 0.05, 1e6)},
        {"--corrupt-rate", number(&b.corruptRate, 0, 1)},
        {"--truncate-after", number(&b.truncateAfter, 0, 1e6)},
        {"--garbage-peers", integer(&f.garbagePeers, 0, 1000)},
        {"--silent-peers", integer(&f.silentPeers, 0, 1000)},
        {"--reply-delay-ms", integer(&b.replyDelayMs, 0, 3600000)},
        {"--reply-length", integer(&b.replyLength, 0, 65535)},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--demo",
         [&] {
             const FleetConfig demo = DemoFleetConfig();
             f.sensors = demo.sensors;
             f.firstAddress = demo.firstAddress;
             f.rpms = demo.rpms;
             f.axisSignals = demo.axisSignals;
             b.rpm = demo.base.rpm;
         }},
        {"--churn", [&] { b.churn = true; }},
        {"--truncate", [&] { b.truncate = true; }},
        {"--duplicate-address", [&] { f.duplicateAddress = true; }},
        {"--garbage", [&] { f.garbagePeers = std::max(f.garbagePeers, 1); }},
        {"--silent", [&] { f.silentPeers = std::max(f.silentPeers, 1); }},
        {"--no-replies", [&] { b.noReplies = true; }},
        {"--wrong-register-count", [&] { b.wrongRegisterCount = true; }},
        {"--quiet", [&] { b.quiet = true; }},
        {"--time-stamps", [&] { b.timeStamps = true; }},
        {"--help", [&] { help = true; }},
        {"-h", [&] { help = true; }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (auto fl = flags.find(name); fl != flags.end() && !inlineValue) {
            fl->second();
            continue;
        }
        auto h = withValue.find(name);
        if (h == withValue.end()) {
            *error = "unknown option " + args[i] + " (see --help)";
            return ParseResult::Error;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value (see --help)";
                return ParseResult::Error;
            }
            value = args[++i];
        }
        signalError.clear();
        if (!h->second(value)) {
            *error = "bad value \"" + value + "\" for " + name;
            if (!signalError.empty())
                *error += ": " + signalError;
            return ParseResult::Error;
        }
    }
    if (help)
        return ParseResult::Help;
    if (b.fsChangeAfter >= 0 && b.fs2 <= 0) {
        *error = "--fs-change-after needs --fs2";
        return ParseResult::Error;
    }
    if (b.fs2 > 0 && b.fsChangeAfter < 0) {
        *error = "--fs2 needs --fs-change-after";
        return ParseResult::Error;
    }
    if (!f.publish.url.empty()) {
        bool sensorsGiven = false;
        for (const std::string &a : args)
            sensorsGiven = sensorsGiven || a == "--sensors" || a.rfind("--sensors=", 0) == 0;
        f.publish.sensors = sensorsGiven ? f.sensors : 40;
        if (f.publish.sensors > kSlotCount) {
            *error = "--publish: a station has at most 40 sensors";
            return ParseResult::Error;
        }
        f.publish.firstAddress = f.firstAddress;
        f.publish.seed = f.seed;
        f.publish.stationPort = b.port;
    }
    b.temperature = float(temperature);
    b.driftPerMinute = driftPercent / 100.0;
    b.reconnectDelay = reconnectMs / 1000.0;
    b.burstInterval = burstMs / 1000.0;
    *out = f;
    return ParseResult::Run;
}

}  // namespace tav::sim
