#include "SseClient.h"

#include <httplib.h>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "PlantProcesses.h"

namespace tav::bench {

namespace {

// The value of `name` among a response's Set-Cookie headers.
std::string SetCookie(const httplib::Result &r, const std::string &name)
{
    for (const auto &[key, value] : r->headers)
        if (::strcasecmp(key.c_str(), "Set-Cookie") == 0 && value.rfind(name + "=", 0) == 0)
            return value.substr(0, value.find(';'));
    return "";
}

}  // namespace

std::string WebLogin(int port, const std::string &user, const std::string &password, std::string *error)
{
    httplib::Client cli("127.0.0.1", port);
    cli.set_read_timeout(30, 0);
    auto session = cli.Get("/api/session");
    if (!session || session->status != 200) {
        *error = "GET /api/session failed";
        return "";
    }
    std::string cookie = SetCookie(session, "tav_session");
    const std::string csrf = nlohmann::json::parse(session->body, nullptr, false).value("csrf", "");
    const httplib::Headers headers = {{"Cookie", cookie}, {"X-CSRF-Token", csrf}};
    const std::string body = nlohmann::json{{"name", user}, {"password", password}}.dump();
    // Four logins are checked at once; a fifth is asked to come back.
    for (int attempt = 0; attempt < 60; ++attempt) {
        auto login = cli.Post("/api/login", headers, body, "application/json");
        if (login && login->status == 200)
            return SetCookie(login, "tav_session");
        if (!login || login->status != 429) {
            *error = "POST /api/login: " + (login ? std::to_string(login->status) + " " + login->body : "no answer");
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    *error = "POST /api/login: still busy";
    return "";
}

std::vector<std::pair<std::string, int64_t>> ScanMachines(const std::string &d)
{
    // {"time":..,"stations":[names],"machines":[[station index, address,
    // name, zone, severity, [axes], speed, temperature, last seen, ...],...]}:
    // a machine's fields are split at its own commas; strings are skipped
    // whole, so commas and brackets inside them do not count.
    std::vector<std::pair<std::string, int64_t>> out;
    const size_t n = d.size();
    const auto skipString = [&](size_t i) {
        size_t j = i + 1;
        while (j < n && d[j] != '"')
            j += d[j] == '\\' ? 2 : 1;
        return j;
    };
    std::vector<std::string> stations;
    size_t i = d.find("\"stations\":[");
    for (i = i == std::string::npos ? n : i + 12; i < n && d[i] != ']'; ++i)
        if (d[i] == '"') {
            const size_t j = skipString(i);
            stations.push_back(d.substr(i + 1, j - i - 1));
            i = j;
        }
    i = d.find("\"machines\":[");
    int depth = 1, field = 0;
    size_t fields[9] = {};
    for (i = i == std::string::npos ? n : i + 12; i < n && depth > 0; ++i) {
        const char c = d[i];
        if (c == '"') {
            i = skipString(i);
        } else if (c == '[') {
            if (++depth == 2) {
                field = 0;
                fields[0] = i + 1;
            }
        } else if (c == ',' && depth == 2) {
            if (++field < 9)
                fields[field] = i + 1;
        } else if (c == ']' && depth-- == 2 && field >= 8) {
            const size_t station = std::strtoull(d.c_str() + fields[0], nullptr, 10);
            out.push_back({(station < stations.size() ? stations[station] : "?") + "/" +
                               std::to_string(std::strtoll(d.c_str() + fields[1], nullptr, 10)),
                           std::strtoll(d.c_str() + fields[8], nullptr, 10)});
        }
    }
    return out;
}

SseClient::SseClient(int port, std::string cookie)
    : port_(port), cookie_(std::move(cookie)), client_(std::make_unique<httplib::Client>("127.0.0.1", port))
{
    client_->set_read_timeout(30, 0);
}

SseClient::~SseClient() { Stop(); }

void SseClient::Start() { thread_ = std::thread([this] { Run(); }); }

void SseClient::Stop()
{
    stop_ = true;
    client_->stop();
    if (thread_.joinable())
        thread_.join();
}

void SseClient::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    delays_.clear();
    events_ = 0;
    bytes_ = 0;
}

std::vector<double> SseClient::Delays()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return delays_;
}

void SseClient::Run()
{
    std::string buffer;
    const httplib::Headers headers = {{"Cookie", cookie_}, {"Accept", "text/event-stream"}};
    while (!stop_) {
        client_->Get("/api/events", headers, [&](const char *data, size_t size) {
            const double arrival = WallSeconds();
            bytes_ = bytes_ + double(size);
            buffer.append(data, size);
            // An event ends with an empty line.
            for (size_t end; (end = buffer.find("\n\n")) != std::string::npos; buffer.erase(0, end + 2)) {
                const std::string event = buffer.substr(0, end);
                if (event.find("event: overview\n") == std::string::npos)
                    continue;
                const size_t at = event.find("data: ");
                if (at != std::string::npos)
                    OnEvent(event.substr(at + 6), arrival);
            }
            return !stop_.load();
        });
        buffer.clear();
        if (!stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

void SseClient::OnEvent(const std::string &data, double arrival)
{
    const auto machines = ScanMachines(data);
    machines_ = machines.size();
    std::vector<double> delays;
    for (const auto &[key, ms] : machines) {
        int64_t &before = seen_[key];
        // The first event is the state at connection, not an update.
        if (before > 0 && ms > before)
            delays.push_back(arrival - double(ms) / 1000.0);
        before = std::max(before, ms);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    delays_.insert(delays_.end(), delays.begin(), delays.end());
    ++events_;
}

}  // namespace tav::bench
