#include "PlantProcesses.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "mqtt/TestBroker.h"

namespace tav::bench {

pid_t Spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid, gid_t gid)
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

namespace {

// Fields of /proc/<pid>/stat after the command's closing parenthesis:
// [1] ppid, [11] utime, [12] stime, [13] cutime, [14] cstime (clock ticks).
bool ReadStat(pid_t pid, long *ppid, double *own, double *reaped)
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

}  // namespace

double CpuSeconds(pid_t pid, bool liveChildren)
{
    long ppid = 0;
    double own = 0, reaped = 0;
    if (!ReadStat(pid, &ppid, &own, &reaped))
        return 0;
    double total = own + reaped;
    if (!liveChildren)
        return total;
    if (DIR *d = ::opendir("/proc")) {
        while (dirent *e = ::readdir(d)) {
            const long child = std::atol(e->d_name);
            double childOwn = 0, childReaped = 0;
            if (child > 0 && ReadStat(pid_t(child), &ppid, &childOwn, &childReaped) && ppid == pid)
                total += childOwn + childReaped;
        }
        ::closedir(d);
    }
    return total;
}

double StopAndReap(pid_t pid, int sig)
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

bool Alive(pid_t pid)
{
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

bool FileHas(const std::string &file, const std::string &text)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

PlantPostgres::PlantPostgres(std::string dir) : dir_(std::move(dir))
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

bool PlantPostgres::Init()
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

bool PlantPostgres::Start()
{
    // Durable as a plant's server would run it (fsync and synchronous
    // commit on); loopback only, the socket in the folder.
    pid_ = Spawn({bin_ + "postgres", "-D", dir_ + "/data", "-k", dir_, "-p", std::to_string(port_), "-h", "127.0.0.1",
                  "-c", "log_min_messages=warning"},
                 dir_ + "/server.log", uid_, gid_);
    const std::string conn = Conninfo("postgres");
    return test::WaitUntil([&] { return PQping(conn.c_str()) == PQPING_OK; }, 60);
}

double PlantPostgres::Stop()
{
    const double cpu = StopAndReap(pid_, SIGINT);
    pid_ = -1;
    return cpu;
}

std::string PlantPostgres::Conninfo(const std::string &db) const
{
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + db + " connect_timeout=5";
}

PlantBroker::PlantBroker(std::string dir) : dir_(std::move(dir))
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

bool PlantBroker::Start()
{
    pid_ = Spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_ + "/stdout.log");
    return test::WaitUntil([this] { return test::Accepts(port_); }, 30);
}

double PlantBroker::Stop()
{
    const double cpu = StopAndReap(pid_, SIGTERM);
    pid_ = -1;
    return cpu;
}

}  // namespace tav::bench
