#include "plant/web/WebServer.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "core/base/ThreadName.h"
#include "plant/config/Log.h"
#include "plant/store/Writer.h"
#include "plant/web/Password.h"
#include "plant/web/SiteFiles.h"

namespace tav::plant {

using json = nlohmann::json;

namespace {

const char kCookieName[] = "tav_session";
// A live page hears at least this often, so a dead connection is found.
constexpr int kKeepAliveS = 15;
constexpr int kMaxVerifying = 4;
// An overview read this recently is as good as a new one; an older one
// may miss a machine gone offline while no batch came.
constexpr int64_t kSnapshotAgeMs = 5000;

void Reply(httplib::Response &res, int status, const std::string &message)
{
    res.status = status;
    res.set_content(json{{"error", message}}.dump(), "application/json; charset=utf-8");
}

void Send(httplib::Response &res, const Answer &a, const char *type, const char *fileName = nullptr)
{
    if (a.status != 200)
        return Reply(res, a.status, a.body);
    res.set_content(a.body, type);
    if (fileName)
        res.set_header("Content-Disposition", std::string("attachment; filename=\"") + fileName + "\"");
}

Params Query(const httplib::Request &req)
{
    Params p;
    for (const auto &[key, value] : req.params)
        p.emplace(key, value);
    return p;
}

std::string CookieValue(const httplib::Request &req, const std::string &name)
{
    const std::string header = req.get_header_value("Cookie");
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        std::string part = header.substr(at, end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.compare(0, name.size() + 1, name + "=") == 0)
            return part.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

// Equal-time comparison of tokens.
bool SameToken(const std::string &a, const std::string &b)
{
    if (a.size() != b.size() || a.empty())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

const WebUser *FindUser(const WebConfig &web, const std::string &name)
{
    for (const WebUser &u : web.users)
        if (u.name == name)
            return &u;
    return nullptr;
}

// A live event: the short forms of the machines (see MachineItem), and
// the stations their first field counts in.
std::string LiveEvent(int64_t timeMs, const std::string &stations, const std::string &machines)
{
    return "event: overview\ndata: {\"time\":" + std::to_string(timeMs) + ",\"stations\":" + stations +
           ",\"machines\":" + machines + "}\n\n";
}

}  // namespace

struct WebServer::Caller {
    Session session;
};

WebServer::WebServer(const PlantConfig &config, AckSender *ack)
    : config_(config),
      ack_(ack),
      pool_(config.database.conninfo, 8),
      sessions_(int64_t(config.web.sessionMinutes) * 60000),
      server_(std::make_unique<httplib::Server>())
{
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(std::string *error)
{
    if (config_.web.users.empty())
        Log("网页服务没有可用的用户（[[web.user]]），无人能登录");
    dummyHash_ = HashPassword(RandomToken(16));
    sessions_.UseFile(config_.web.sessionFile, NowUtcMs());
    const int threads = config_.web.threads;
    server_->new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    server_->set_payload_max_length(64 * 1024);
    server_->set_read_timeout(10, 0);
    server_->set_keep_alive_timeout(5);
    Routes();
    if (!server_->bind_to_port(config_.web.host, config_.web.port)) {
        *error = "网页服务无法监听 " + config_.web.listen;
        return false;
    }
    thread_ = std::thread([this] {
        NameThisThread("plant web");
        server_->listen_after_bind();
    });
    Log("网页服务已启动：http://" + config_.web.listen + "/");
    return true;
}

void WebServer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(feedMutex_);
        stopping_ = true;
    }
    feedChanged_.notify_all();
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

void WebServer::Committed()
{
    {
        std::lock_guard<std::mutex> lock(feedMutex_);
        ++generation_;
    }
    feedChanged_.notify_all();
}

std::string WebServer::ClientAddress(const httplib::Request &req) const
{
    // Behind the local TLS proxy every request comes from loopback; the
    // proxy says whose it is.
    const bool loopback = req.remote_addr == "127.0.0.1" || req.remote_addr == "::1";
    const std::string forwarded = req.get_header_value("X-Real-IP");
    return loopback && !forwarded.empty() && forwarded.size() < 64 ? forwarded : req.remote_addr;
}

std::string WebServer::Cookie(const std::string &id, int64_t maxAgeS) const
{
    std::string c = std::string(kCookieName) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (maxAgeS >= 0)
        c += "; Max-Age=" + std::to_string(maxAgeS);
    if (config_.web.secureCookies)
        c += "; Secure";
    return c;
}

bool WebServer::Admit(const httplib::Request &req, httplib::Response &res, bool needOperator, Caller *caller)
{
    if (!sessions_.Find(CookieValue(req, kCookieName), NowUtcMs(), &caller->session) ||
        caller->session.user.empty()) {
        Reply(res, 401, "请先登录");
        return false;
    }
    // A user taken out of plant.toml, or made a viewer, loses what the session had.
    const WebUser *user = FindUser(config_.web, caller->session.user);
    if (!user) {
        sessions_.Remove(caller->session.id);
        Reply(res, 401, "请先登录");
        return false;
    }
    caller->session.role = user->role;
    if (req.method == "POST" && !SameToken(req.get_header_value("X-CSRF-Token"), caller->session.csrf)) {
        Reply(res, 403, "表单令牌无效，请刷新页面");
        return false;
    }
    if (needOperator && caller->session.role != "operator") {
        Reply(res, 403, "只有操作员可以确认报警");
        return false;
    }
    return true;
}

void WebServer::Routes()
{
    httplib::Server &s = *server_;
    s.set_post_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "same-origin");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
                       "frame-ancestors 'none'");
        if (req.path.rfind("/api/", 0) == 0)
            res.set_header("Cache-Control", "no-store");
    });
    for (size_t i = 0; i < kSiteFileCount; ++i) {
        const SiteFile &f = kSiteFiles[i];
        auto serve = [&f](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(f.data), f.size, f.type);
            res.set_header("Cache-Control", "no-cache");
        };
        s.Get(f.path, serve);
        if (std::string(f.path) == "/index.html")
            s.Get("/", serve);
    }

    s.Get("/api/session", [this](const httplib::Request &req, httplib::Response &res) {
        Session session;
        const int64_t now = NowUtcMs();
        if (!sessions_.Find(CookieValue(req, kCookieName), now, &session)) {
            if (!sessions_.Create("", "", now, &session))
                return Reply(res, 503, "无法建立会话");
            res.set_header("Set-Cookie", Cookie(session.id, -1));
        }
        const WebUser *user = session.user.empty() ? nullptr : FindUser(config_.web, session.user);
        res.set_content(json{{"user", user ? json(user->name) : json(nullptr)},
                             {"role", user ? json(user->role) : json(nullptr)},
                             {"csrf", session.csrf}}
                            .dump(),
                        "application/json; charset=utf-8");
    });
    s.Post("/api/login", [this](const httplib::Request &req, httplib::Response &res) { Login(req, res); });
    s.Post("/api/logout", [this](const httplib::Request &req, httplib::Response &res) {
        Caller c;
        if (!Admit(req, res, false, &c))
            return;
        sessions_.Remove(c.session.id);
        res.set_header("Set-Cookie", Cookie("", 0));
        res.set_content("{}", "application/json");
    });

    auto api = [this](auto handler, const char *type, const char *fileName) {
        return [this, handler, type, fileName](const httplib::Request &req, httplib::Response &res) {
            Caller c;
            if (Admit(req, res, false, &c))
                Send(res, handler(Query(req)), type, fileName);
        };
    };
    const char *kJson = "application/json; charset=utf-8", *kCsv = "text/csv; charset=utf-8";
    PgPool *pool = &pool_;
    s.Get("/api/stations", api([pool](const Params &) { return Stations(*pool); }, kJson, nullptr));
    s.Get("/api/overview", [this, pool, kJson](const httplib::Request &req, httplib::Response &res) {
        Caller c;
        if (!Admit(req, res, false, &c))
            return;
        // The whole plant is what the live pages are sent: pages opening
        // together share one reading, and a fresh one of the live pages'.
        if (req.get_param_value("station").empty()) {
            uint64_t generation;
            {
                std::lock_guard<std::mutex> lock(feedMutex_);
                generation = generation_;
            }
            const int64_t now = NowUtcMs();
            const std::shared_ptr<const Snapshot> snapshot = Latest(&generation);
            if (snapshot && now - snapshot->timeMs <= kSnapshotAgeMs)
                return res.set_content("{\"machines\":" + snapshot->All() + ",\"time\":" + std::to_string(now) + "}",
                                       kJson);
        }
        Send(res, Overview(*pool, Query(req), Format::kJson, NowUtcMs()), kJson);
    });
    s.Get("/api/overview.csv",
          api([pool](const Params &p) { return Overview(*pool, p, Format::kCsv, NowUtcMs()); }, kCsv, "overview.csv"));
    s.Get("/api/series",
          api([pool](const Params &p) { return Series(*pool, p, Format::kJson, NowUtcMs()); }, kJson, nullptr));
    s.Get("/api/series.csv",
          api([pool](const Params &p) { return Series(*pool, p, Format::kCsv, NowUtcMs()); }, kCsv, "series.csv"));
    s.Get("/api/alarms",
          api([pool](const Params &p) { return Alarms(*pool, p, Format::kJson, NowUtcMs()); }, kJson, nullptr));
    s.Get("/api/alarms.csv",
          api([pool](const Params &p) { return Alarms(*pool, p, Format::kCsv, NowUtcMs()); }, kCsv, "alarms.csv"));
    s.Get("/api/events", [this](const httplib::Request &req, httplib::Response &res) { Events(req, res); });
    s.Post(R"(/api/alarms/([^/]{1,128})/(\d{1,18})/acknowledge)",
           [this](const httplib::Request &req, httplib::Response &res) { Acknowledge(req, res); });
}

void WebServer::Login(const httplib::Request &req, httplib::Response &res)
{
    const int64_t now = NowUtcMs();
    Session anonymous;
    if (!sessions_.Find(CookieValue(req, kCookieName), now, &anonymous) ||
        !SameToken(req.get_header_value("X-CSRF-Token"), anonymous.csrf))
        return Reply(res, 403, "表单令牌无效，请刷新页面");
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("name") || !body["name"].is_string() || !body.contains("password") ||
        !body["password"].is_string())
        return Reply(res, 400, "需要用户名与密码");
    const std::string name = body["name"].get<std::string>().substr(0, 64);
    const std::string address = ClientAddress(req);
    if (const int64_t wait = limiter_.WaitMs(address, name, now); wait > 0) {
        res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
        return Reply(res, 429, "登录失败次数过多，请 " + std::to_string((wait + 999) / 1000) + " 秒后再试");
    }
    // A burst of logins from many addresses at once must not take the
    // machine's memory: a few checks at a time, the rest asked to come back.
    if (verifying_.fetch_add(1) >= kMaxVerifying) {
        --verifying_;
        res.set_header("Retry-After", "1");
        return Reply(res, 429, "登录请求过多，请稍后再试");
    }
    const WebUser *user = FindUser(config_.web, name);
    const bool ok = VerifyPassword(body["password"].get<std::string>(), user ? user->passwordHash : dummyHash_) && user;
    --verifying_;
    if (!ok) {
        limiter_.Failed(address, name, now);
        Log("网页登录失败：用户 " + json(name).dump() + "，来自 " + address);
        return Reply(res, 401, "用户名或密码错误");
    }
    limiter_.Succeeded(name);
    Session session;
    sessions_.Remove(anonymous.id);
    if (!sessions_.Create(user->name, user->role, now, &session))
        return Reply(res, 503, "无法建立会话");
    Log("网页登录：用户 " + user->name + "（" + user->role + "），来自 " + address);
    res.set_header("Set-Cookie", Cookie(session.id, int64_t(config_.web.sessionMinutes) * 60));
    res.set_content(json{{"user", user->name}, {"role", user->role}, {"csrf", session.csrf}}.dump(),
                    "application/json; charset=utf-8");
}

void WebServer::Acknowledge(const httplib::Request &req, httplib::Response &res)
{
    Caller c;
    if (!Admit(req, res, true, &c))
        return;
    const json body = json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (!body.is_object() || (body.contains("comment") && !body["comment"].is_string()))
        return Reply(res, 400, "comment 应为文字");
    const std::string comment = body.value("comment", "");
    if (comment.size() > 1000)
        return Reply(res, 400, "备注过长");
    const std::string station = req.matches[1];
    const uint64_t alarmId = std::stoull(req.matches[2]);
    if (!ack_)
        return Reply(res, 503, "确认通道未启用");
    std::string requestId;
    if (!ack_->Send(station, alarmId, c.session.user, comment, &requestId))
        return Reply(res, 503, "无法发送确认，请稍后再试");
    Log("网页确认报警：" + station + " #" + std::to_string(alarmId) + "，用户 " + c.session.user);
    // Accepted, not done: the page shows the alarm as the station reports it.
    res.status = 202;
    res.set_content(json{{"status", "sent"}, {"request_id", requestId}}.dump(), "application/json; charset=utf-8");
}

const std::string &WebServer::Snapshot::All() const
{
    std::call_once(allOnce, [this] {
        for (const MachineItem &m : items)
            all += (all.empty() ? "[" : ",") + MachineJson(m);
        all += all.empty() ? "[]" : "]";
    });
    return all;
}

std::shared_ptr<const WebServer::Snapshot> WebServer::Latest(uint64_t *generation)
{
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (cache_ && cacheGeneration_ >= *generation) {
        *generation = cacheGeneration_;
        return cache_;
    }
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->timeMs = NowUtcMs();
    std::vector<std::string> stations;
    if (OverviewItems(pool_, snapshot->timeMs, &snapshot->items, &stations).status != 200)
        return nullptr;
    snapshot->stations = json(stations).dump(-1, ' ', false, json::error_handler_t::replace);
    std::string machines;
    for (const MachineItem &m : snapshot->items)
        machines += (machines.empty() ? "[" : ",") + m.live;
    machines += machines.empty() ? "[]" : "]";
    snapshot->event = LiveEvent(snapshot->timeMs, snapshot->stations, machines);
    cache_ = snapshot;
    cacheGeneration_ = *generation;
    return cache_;
}

void WebServer::Events(const httplib::Request &req, httplib::Response &res)
{
    Caller c;
    if (!Admit(req, res, false, &c))
        return;
    // Live pages each hold a thread of the pool; some stay for the rest.
    if (streams_.fetch_add(1) >= config_.web.threads - 8) {
        --streams_;
        return Reply(res, 503, "实时连接过多");
    }
    const std::string station = req.get_param_value("station");
    const int address = req.has_param("address") ? std::atoi(req.get_param_value("address").c_str()) : -1;
    auto sent = std::make_shared<uint64_t>(0);
    res.set_header("X-Accel-Buffering", "no");  // the proxy passes each event at once
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, station, address, sent](size_t, httplib::DataSink &sink) {
            uint64_t generation;
            {
                std::unique_lock<std::mutex> lock(feedMutex_);
                feedChanged_.wait_for(lock, std::chrono::seconds(kKeepAliveS),
                                      [&] { return stopping_ || generation_ != *sent; });
                if (stopping_)
                    return false;
                generation = generation_;
            }
            if (*sent == 0 && !sink.write("retry: 2000\n", 12))
                return false;
            std::shared_ptr<const Snapshot> snapshot;
            if (generation != *sent)
                snapshot = Latest(&generation);
            if (!snapshot) {
                // The database is away: try again in a while, not at once.
                std::unique_lock<std::mutex> lock(feedMutex_);
                feedChanged_.wait_for(lock, std::chrono::seconds(2), [&] { return stopping_; });
                return sink.write(": -\n\n", 5);  // keeps the connection, and finds a closed one
            }
            *sent = generation;
            // The whole plant's event is made once for every page that takes it.
            if (station.empty() && address < 0)
                return sink.write(snapshot->event.data(), snapshot->event.size());
            std::string machines;
            for (const MachineItem &m : snapshot->items)
                if ((station.empty() || m.station == station) && (address < 0 || m.address == address))
                    machines += (machines.empty() ? "[" : ",") + m.live;
            const std::string text =
                LiveEvent(snapshot->timeMs, snapshot->stations, machines.empty() ? "[]" : machines + "]");
            return sink.write(text.data(), text.size());
        },
        [this](bool) { --streams_; });
}

}  // namespace tav::plant
