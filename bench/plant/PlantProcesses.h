#pragma once
// The processes of the plant benchmark: a private PostgreSQL cluster and
// Mosquitto in a temporary folder on free loopback ports, the service and
// the simulator, each started, stopped and measured (CPU seconds) here.
#include <sys/types.h>

#include <string>
#include <vector>

namespace tav::bench {

// Forks `argv` with stdout and stderr appended to `log`, as `uid`/`gid` when
// they are not 0. Returns the child's pid, or -1.
pid_t Spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid = 0, gid_t gid = 0);

// CPU seconds (user + system) of a running process, its threads and the
// children it has reaped; with `liveChildren`, also its children still
// running (a PostgreSQL server's backends).
double CpuSeconds(pid_t pid, bool liveChildren);

// Sends `sig` and reaps the process: its whole CPU seconds, reaped
// children included (the backends a PostgreSQL server waited for).
double StopAndReap(pid_t pid, int sig);

// True when `pid` has not ended (reaps it when it has).
bool Alive(pid_t pid);

// True once a line of `file` contains `text`.
bool FileHas(const std::string &file, const std::string &text);

// PostgreSQL: initdb into `dir`/data, then Start/Stop as the "postgres"
// account when this runs as root (the server refuses root).
class PlantPostgres {
public:
    explicit PlantPostgres(std::string dir);
    bool Init();
    bool Start();
    double Stop();  // fast shutdown; the instance's CPU seconds
    pid_t Pid() const { return pid_; }
    std::string Conninfo(const std::string &db) const;
    int Port() const { return port_; }

private:
    std::string dir_, bin_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Mosquitto with persistence and a queue large enough for a restart's
// outage of the whole plant.
class PlantBroker {
public:
    explicit PlantBroker(std::string dir);
    bool Start();
    double Stop();  // SIGTERM (persistence saved); the instance's CPU seconds
    pid_t Pid() const { return pid_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace tav::bench
