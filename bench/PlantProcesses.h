#pragma once
// The processes of the plant benchmarks (bench_plant, bench_web): a private
// PostgreSQL cluster and Mosquitto in a temporary folder on free loopback
// ports, the service and the simulator, each started, stopped and measured
// (CPU seconds) here, with the few helpers both benchmarks need.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <mosquitto.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mqtt/TestBroker.h"

namespace tav::bench {

// Forks `argv` with stdout and stderr appended to `log`, as `uid`/`gid` when
// they are not 0. Returns the child's pid, or -1.
inline pid_t Spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid = 0, gid_t gid = 0)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // A session of its own: a terminal's Ctrl-C reaches the benchmark only.
    ::setsid();
    if (uid != 0) {
        ::setgroups(0, nullptr);
        if (::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(126);
    }
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

namespace detail {

// Fields of /proc/<pid>/stat after the command's closing parenthesis:
// [1] ppid, [11] utime, [12] stime, [13] cutime, [14] cstime (clock ticks).
inline bool ReadStat(pid_t pid, long *ppid, double *own, double *reaped)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::vector<std::string> f;
    std::string word;
    for (size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            f.push_back(word);
            word.clear();
        } else {
            word += text[i];
        }
    }
    if (f.size() < 15)
        return false;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    *ppid = std::atol(f[1].c_str());
    *own = (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / tick;
    *reaped = (std::atof(f[13].c_str()) + std::atof(f[14].c_str())) / tick;
    return true;
}

}  // namespace detail

// CPU seconds (user + system) of a running process, its threads and the
// children it has reaped; with `liveChildren`, also its children still
// running (a PostgreSQL server's backends).
inline double CpuSeconds(pid_t pid, bool liveChildren)
{
    long ppid = 0;
    double own = 0, reaped = 0;
    if (!detail::ReadStat(pid, &ppid, &own, &reaped))
        return 0;
    double total = own + reaped;
    if (!liveChildren)
        return total;
    if (DIR *d = ::opendir("/proc")) {
        while (dirent *e = ::readdir(d)) {
            const long child = std::atol(e->d_name);
            double childOwn = 0, childReaped = 0;
            if (child > 0 && detail::ReadStat(pid_t(child), &ppid, &childOwn, &childReaped) && ppid == pid)
                total += childOwn + childReaped;
        }
        ::closedir(d);
    }
    return total;
}

// Sends `sig` and reaps the process: its whole CPU seconds, reaped
// children included (the backends a PostgreSQL server waited for).
inline double StopAndReap(pid_t pid, int sig)
{
    if (pid <= 0)
        return 0;
    ::kill(pid, sig);
    int status = 0;
    rusage ru{};
    // wait4 reports the child with the children it reaped itself.
    if (::wait4(pid, &status, 0, &ru) != pid)
        return 0;
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// True when `pid` has not ended (reaps it when it has).
inline bool Alive(pid_t pid)
{
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

// True once a line of `file` contains `text`.
inline bool FileHas(const std::string &file, const std::string &text)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

inline double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The value at share `p` (0..1) of `v` sorted; -1 when there is none.
inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// The first column of the first row of `sql`'s answer; "" on none or error.
inline std::string Query(PGconn *c, const std::string &sql)
{
    PGresult *r = PQexec(c, sql.c_str());
    std::string out;
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0)
        out = PQgetvalue(r, 0, 0);
    else if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
        std::fprintf(stderr, "bench: %s: %s", sql.substr(0, 80).c_str(), PQerrorMessage(c));
    PQclear(r);
    return out;
}

// Publishes a message the service must refuse on a topic it follows (under
// `root`), until its log names that topic: then its subscriptions stand,
// and the steady messages from now on are queued for it even while it is away.
inline bool WaitSubscribed(int port, const std::string &root, const std::string &log)
{
    mosquitto_lib_init();
    mosquitto *m = mosquitto_new(nullptr, true, nullptr);
    bool ok = false;
    if (m && mosquitto_connect(m, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
        const std::string topic = root + "/bench-probe/status";
        ok = test::WaitUntil(
            [&] {
                mosquitto_publish(m, nullptr, topic.c_str(), 5, "probe", 1, false);
                mosquitto_loop(m, 200, 1);
                return FileHas(log, "bench-probe");
            },
            60);
        mosquitto_disconnect(m);
    }
    if (m)
        mosquitto_destroy(m);
    mosquitto_lib_cleanup();
    return ok;
}

// 30 days of one sensor's minute aggregates up to the minute before `endSql`
// (an SQL time), written straight into steady_minute in the months'
// partitions the service makes, every value column filled as its minute
// build fills it. Returns the sensor's rows in steady_minute then.
inline long InsertMinuteMonth(PGconn *c, const std::string &station, int address, const std::string &endSql)
{
    Query(c, "set timezone = 'UTC'");
    const std::string end = "date_trunc('minute', " + endSql + ")";
    PGresult *months = PQexec(c, ("select distinct to_char(m, 'YYYYMM'), m, m + interval '1 month' from"
                                  " (select date_trunc('month', t) m from generate_series(" + end +
                                  " - interval '31 days', " + end + ", interval '1 day') t) x").c_str());
    for (int i = 0; PQresultStatus(months) == PGRES_TUPLES_OK && i < PQntuples(months); ++i)
        Query(c, std::string("create table if not exists steady_minute_p") + PQgetvalue(months, i, 0) +
                     " partition of steady_minute for values from ('" + PQgetvalue(months, i, 1) + "') to ('" +
                     PQgetvalue(months, i, 2) + "')");
    PQclear(months);
    PGresult *cols = PQexec(c,
                            "select column_name, data_type from information_schema.columns"
                            " where table_name = 'steady_minute' order by ordinal_position");
    std::string names, values;
    for (int i = 0; PQresultStatus(cols) == PGRES_TUPLES_OK && i < PQntuples(cols); ++i) {
        const std::string name = PQgetvalue(cols, i, 0), type = PQgetvalue(cols, i, 1);
        std::string v;
        if (name == "station")
            v = "'" + station + "'";
        else if (name == "address")
            v = std::to_string(address);
        else if (name == "time")
            v = "t";
        else if (type == "real" || type == "double precision")
            v = "(1 + random() * 3)::real";
        else if (type == "integer" || type == "bigint" || type == "smallint")
            v = "120";
        else
            continue;
        names += (names.empty() ? "" : ", ") + name;
        values += (values.empty() ? "" : ", ") + v;
    }
    PQclear(cols);
    Query(c, "insert into steady_minute (" + names + ") select " + values + " from generate_series(" + end +
                 " - interval '30 days', " + end + " - interval '1 minute', interval '1 minute') t"
                 " on conflict do nothing");
    Query(c, "analyze steady_minute");
    return std::atol(Query(c, "select count(*) from steady_minute where station = '" + station +
                                  "' and address = " + std::to_string(address))
                         .c_str());
}

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

inline PlantPostgres::PlantPostgres(std::string dir) : dir_(std::move(dir))
{
    for (const char *v : {"17", "16", "15", "14"})
        if (bin_.empty() && std::filesystem::exists(std::string("/usr/lib/postgresql/") + v + "/bin/postgres"))
            bin_ = std::string("/usr/lib/postgresql/") + v + "/bin/";
    if (::geteuid() == 0)
        if (const passwd *pw = ::getpwnam("postgres")) {
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
    port_ = test::FreeLoopbackPort();
}

inline bool PlantPostgres::Init()
{
    if (bin_.empty())
        return false;
    std::filesystem::create_directories(dir_);
    if (uid_ != 0 && ::chown(dir_.c_str(), uid_, gid_) != 0)
        return false;
    const pid_t pid = Spawn({bin_ + "initdb", "-D", dir_ + "/data", "-U", "postgres", "-A", "trust", "-E", "UTF8",
                             "--locale=C.UTF-8"},
                            dir_ + "/initdb.log", uid_, gid_);
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool PlantPostgres::Start()
{
    // Durable as a plant's server would run it (fsync and synchronous
    // commit on); loopback only, the socket in the folder.
    pid_ = Spawn({bin_ + "postgres", "-D", dir_ + "/data", "-k", dir_, "-p", std::to_string(port_), "-h", "127.0.0.1",
                  "-c", "log_min_messages=warning"},
                 dir_ + "/server.log", uid_, gid_);
    const std::string conn = Conninfo("postgres");
    return test::WaitUntil([&] { return PQping(conn.c_str()) == PQPING_OK; }, 60);
}

inline double PlantPostgres::Stop()
{
    const double cpu = StopAndReap(pid_, SIGINT);
    pid_ = -1;
    return cpu;
}

inline std::string PlantPostgres::Conninfo(const std::string &db) const
{
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + db + " connect_timeout=5";
}

inline PlantBroker::PlantBroker(std::string dir) : dir_(std::move(dir))
{
    std::filesystem::create_directories(dir_);
    port_ = test::FreeLoopbackPort();
    std::ofstream conf(dir_ + "/mosquitto.conf");
    // Run as root, the broker would drop to its own account, which cannot
    // write this folder's persistence.
    const passwd *pw = ::getpwuid(::geteuid());
    conf << "user " << (pw ? pw->pw_name : "root") << "\n"
         << "listener " << port_ << " 127.0.0.1\n"
         << "allow_anonymous true\n"
         << "persistence true\n"
         << "persistence_location " << dir_ << "/\n"
         << "max_queued_messages 4000000\n"
         << "log_dest file " << dir_ << "/mosquitto.log\n";
}

inline bool PlantBroker::Start()
{
    pid_ = Spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_ + "/stdout.log");
    return test::WaitUntil([this] { return test::Accepts(port_); }, 30);
}

inline double PlantBroker::Stop()
{
    const double cpu = StopAndReap(pid_, SIGTERM);
    pid_ = -1;
    return cpu;
}

}  // namespace tav::bench
