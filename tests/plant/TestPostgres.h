#pragma once
// A PostgreSQL of the test's own: a fresh cluster in a temporary folder on a
// free loopback port, run as the unprivileged "postgres" user when the test
// runs as root (the server refuses root). Never the machine's service.
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mqtt/TestBroker.h"

namespace tav::test {

class TestPostgres {
public:
    TestPostgres()
    {
        for (const char *v : {"17", "16", "15", "14"})
            if (std::filesystem::exists(std::string("/usr/lib/postgresql/") + v + "/bin/postgres"))
                bin_ = std::string("/usr/lib/postgresql/") + v + "/bin/";
        port_ = FreeLoopbackPort();
        if (::geteuid() == 0) {
            if (const passwd *pw = ::getpwnam("postgres")) {
                uid_ = pw->pw_uid;
                gid_ = pw->pw_gid;
                ::chown(dir_.path.c_str(), uid_, gid_);
            }
        }
        ready_ = Run({bin_ + "initdb", "-D", Data(), "-U", "postgres", "-A", "trust", "--no-sync", "-E", "UTF8"},
                     true) == 0 &&
                 Start();
    }
    ~TestPostgres() { Stop(SIGINT); }

    bool Ready() const { return ready_; }
    std::string Conninfo() const
    {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=postgres connect_timeout=5";
    }
    bool Start()
    {
        pid_ = Run({bin_ + "postgres", "-D", Data(), "-k", dir_.path.string(), "-p", std::to_string(port_), "-h",
                    "127.0.0.1", "-c", "fsync=off", "-c", "log_min_messages=fatal"},
                   false);
        return WaitUntil([this] { return PQping(Conninfo().c_str()) == PQPING_OK; }, 30);
    }
    // SIGINT: fast shutdown; SIGQUIT: immediate, as a crash.
    void Stop(int sig)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // The first column of the first row of `sql`'s answer, "" on none.
    std::string Query(const std::string &sql) const
    {
        PGconn *c = PQconnectdb(Conninfo().c_str());
        PGresult *r = PQexec(c, sql.c_str());
        std::string out = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        PQfinish(c);
        return out;
    }

private:
    std::string Data() const { return dir_.File("data"); }
    // Forks `argv` as the cluster's user; waits for it when `wait`.
    int Run(const std::vector<std::string> &argv, bool wait)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (uid_) {
                ::setgroups(0, nullptr);
                if (::setgid(gid_) != 0 || ::setuid(uid_) != 0)
                    ::_exit(126);
            }
            const int out = ::open(dir_.File("server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (!wait)
            return pid;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir dir_;
    std::string bin_ = "/usr/lib/postgresql/15/bin/";
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace tav::test
