#pragma once
// A broker of the test's own on a free loopback port, and a subscriber that
// records what arrives. Never the machine's service, never port 1883.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tav::test {

inline bool WaitUntil(const std::function<bool()> &done, double seconds = 10)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

inline int FreeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool Accepts(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char pattern[] = "/tmp/tavenor-mqtt-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string &name) const { return (path / name).string(); }
};

class TestBroker {
public:
    // `extra` goes into the listener's part of the configuration (TLS files).
    explicit TestBroker(std::string extra = "", bool persistent = false) : extra_(std::move(extra))
    {
        port_ = FreeLoopbackPort();
        std::ofstream conf(dir_.File("mosquitto.conf"));
        // Run as root, the broker would drop to its own user, which cannot
        // read this folder's key or write its persistence.
        const passwd *pw = ::getpwuid(::geteuid());
        conf << "user " << (pw ? pw->pw_name : "root") << "\n";
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "allow_anonymous true\n"
             << extra_ << "\n";
        if (persistent)
            conf << "persistence true\npersistence_location " << dir_.path.string() << "/\n";
        conf << "log_dest none\n";
    }
    ~TestBroker() { Kill(SIGKILL); }

    bool Start()
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string conf = dir_.File("mosquitto.conf");
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        return WaitUntil([this] { return Accepts(port_); }, 10);
    }
    void Kill(int sig)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    const TempDir &Dir() const { return dir_; }

private:
    TempDir dir_;
    std::string extra_;
    int port_ = 0;
    pid_t pid_ = -1;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribes to `filter` at QoS 1. A persistent session (clean = false)
// keeps its subscription and its queued messages across a broker restart.
class TestSubscriber {
public:
    TestSubscriber(int port, std::string filter, bool clean = true, const char *id = nullptr)
        : filter_(std::move(filter))
    {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(id, clean, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<TestSubscriber *>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<TestSubscriber *>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *s = static_cast<TestSubscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->messages_.push_back(
                {m->topic, std::string(static_cast<const char *>(m->payload), size_t(m->payloadlen)), m->retain});
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~TestSubscriber()
    {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    bool WaitSubscribed() { return WaitUntil([this] { return subscribed_.load(); }); }
    // On the same connection, QoS 1, as the plant's service sends commands.
    bool Publish(const std::string &topic, const std::string &payload)
    {
        return mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1, false) ==
               MOSQ_ERR_SUCCESS;
    }
    std::vector<Received> Messages()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<Received> On(const std::string &topic)
    {
        std::vector<Received> out;
        for (auto &m : Messages())
            if (m.topic == topic)
                out.push_back(m);
        return out;
    }
    bool WaitFor(const std::function<bool(const std::vector<Received> &)> &done, double seconds = 10)
    {
        return WaitUntil([&] { return done(Messages()); }, seconds);
    }

private:
    std::string filter_;
    mosquitto *mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    std::vector<Received> messages_;
};

// The number after "key": in a flat JSON text, searching from `from`.
inline double JsonNumber(const std::string &json, const std::string &key, size_t from = 0)
{
    const size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos)
        return -12345;
    const std::string rest = json.substr(at + key.size() + 3);
    if (rest.rfind("null", 0) == 0)
        return std::nan("");
    return std::stod(rest);
}

inline std::string JsonString(const std::string &json, const std::string &key, size_t from = 0)
{
    const size_t at = json.find("\"" + key + "\":\"", from);
    if (at == std::string::npos)
        return "<none>";
    const size_t start = at + key.size() + 4;
    return json.substr(start, json.find('"', start) - start);
}

}  // namespace tav::test
