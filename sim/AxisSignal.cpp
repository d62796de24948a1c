#include "sim/AxisSignal.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tav::sim {

namespace {

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Whole-string decimal conversion: "1.5" yes, "1.5g" or "" no.
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

bool EndsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

double AxisSignal::PeakWithoutNoise() const
{
    double peak = std::fabs(dc);
    for (const auto &c : sines)
        peak += std::fabs(c.amplitude);
    return peak;
}

bool ParseAxisSignal(const std::string &text, AxisSignal *out, std::string *error)
{
    AxisSignal signal;
    std::string all = Trim(text);
    if (all.empty() || all == "none" || all == "0") {
        *out = signal;
        return true;
    }
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = Trim(all.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty()) {
            *error = "empty item in \"" + text + "\"";
            return false;
        }
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "\"" + item + "\" has no '=' (expected e.g. 1x=0.5, 159.15hz=1, noise=0.01)";
            return false;
        }
        std::string key = Trim(item.substr(0, eq));
        std::string value = Trim(item.substr(eq + 1));
        for (auto &ch : key)
            ch = char(std::tolower(static_cast<unsigned char>(ch)));

        if (key == "noise" || key == "dc") {
            double v;
            if (!ToDouble(value, &v) || (key == "noise" && v < 0)) {
                *error = "bad value in \"" + item + "\"";
                return false;
            }
            (key == "noise" ? signal.noise : signal.dc) = v;
            continue;
        }

        SineComponent c;
        std::string number;
        if (EndsWith(key, "hz")) {
            c.locked = false;
            number = key.substr(0, key.size() - 2);
        } else if (EndsWith(key, "x")) {
            number = key.substr(0, key.size() - 1);
        } else {
            *error = "\"" + key + "\" is neither an order (e.g. 2x), a frequency (e.g. 50hz), noise nor dc";
            return false;
        }
        double f;
        if (!ToDouble(number, &f) || f <= 0) {
            *error = "bad order or frequency in \"" + item + "\"";
            return false;
        }
        (c.locked ? c.order : c.hz) = f;

        std::string amp = value;
        size_t at = value.find('@');
        if (at != std::string::npos) {
            amp = Trim(value.substr(0, at));
            if (!ToDouble(Trim(value.substr(at + 1)), &c.phaseDeg)) {
                *error = "bad phase in \"" + item + "\"";
                return false;
            }
        }
        if (!ToDouble(amp, &c.amplitude)) {
            *error = "bad amplitude in \"" + item + "\"";
            return false;
        }
        signal.sines.push_back(c);
    }
    *out = signal;
    return true;
}

std::string FormatAxisSignal(const AxisSignal &signal)
{
    std::string s;
    char buf[96];
    auto add = [&](const char *item) {
        if (!s.empty())
            s += ',';
        s += item;
    };
    for (const auto &c : signal.sines) {
        if (c.locked)
            std::snprintf(buf, sizeof buf, "%gx=%g", c.order, c.amplitude);
        else
            std::snprintf(buf, sizeof buf, "%ghz=%g", c.hz, c.amplitude);
        std::string item = buf;
        if (c.phaseDeg != 0) {
            std::snprintf(buf, sizeof buf, "@%g", c.phaseDeg);
            item += buf;
        }
        add(item.c_str());
    }
    if (signal.dc != 0) {
        std::snprintf(buf, sizeof buf, "dc=%g", signal.dc);
        add(buf);
    }
    if (signal.noise != 0) {
        std::snprintf(buf, sizeof buf, "noise=%g", signal.noise);
        add(buf);
    }
    return s.empty() ? "none" : s;
}

}  // namespace tav::sim
