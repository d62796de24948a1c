// tavenor-plant: follows every station's broker topics and keeps their
// values, alarms and states in the plant's PostgreSQL database.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <termios.h>
#include <unistd.h>

#include "plant/config/Log.h"
#include "plant/config/PlantConfig.h"
#include "plant/main/PlantTool.h"
#include "plant/main/Service.h"
#include "plant/web/Password.h"

using namespace tav::plant;

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int Usage(FILE *out)
{
    std::fputs("用法：tavenor-plant [--config 文件] [run]\n"
               "      tavenor-plant [--config 文件] --check-config\n"
               "      tavenor-plant export --address A [--station S] [--from T] [--to T]\n"
               "                    [--resolution raw|minute|hour|auto] [--utf8] [--out 文件] [--config 文件]\n"
               "      tavenor-plant alarms [--address A] [--station S] [--from T] [--to T] [--utf8] [--out 文件]\n"
               "      tavenor-plant hash-password   (从标准输入读取密码，输出 [[web.user]] 的 password_hash)\n"
               "T: \"YYYY-MM-DD[ hh:mm[:ss]]\" (本地时间) 或 -90s -30m -2h -7d\n"
               "配置文件默认为 ./plant.toml，其次 /etc/tavenor/plant.toml\n",
               out);
    return out == stdout ? 0 : 2;
}

// Reads one line from stdin (without echo on a terminal) and prints its
// Argon2id hash for plant.toml; the password itself goes nowhere else.
int HashPasswordCommand()
{
    termios saved{};
    const bool tty = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        std::fputs("密码：", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    for (int c; (c = std::getchar()) != EOF && c != '\n';)
        password += char(c);
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        std::fputs("tavenor-plant: 密码为空\n", stderr);
        return 2;
    }
    const std::string hash = HashPassword(password);
    std::fill(password.begin(), password.end(), '\0');
    if (hash.empty()) {
        std::fputs("tavenor-plant: 无法生成散列\n", stderr);
        return 1;
    }
    std::printf("%s\n", hash.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "export") == 0 || std::strcmp(argv[1], "alarms") == 0))
        return RunPlantTool(argc - 1, argv + 1);
    if (argc == 2 && std::strcmp(argv[1], "hash-password") == 0)
        return HashPasswordCommand();
    std::string configPath;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--config" && i + 1 < argc)
            configPath = argv[++i];
        else if (a == "--check-config")
            check = true;
        else if (a == "run")
            continue;
        else if (a == "--help" || a == "-h")
            return Usage(stdout);
        else
            return Usage(stderr);
    }
    if (configPath.empty())
        configPath = std::filesystem::exists("plant.toml") ? "plant.toml" : "/etc/tavenor/plant.toml";

    PlantConfig config;
    std::vector<std::string> messages;
    const bool ok = ReadPlantConfig(configPath, &config, &messages);
    for (const std::string &m : messages)
        Log(m);
    if (check) {
        std::printf("%s：%s\n", configPath.c_str(), ok ? "可以使用" : "有错误，服务不能启动");
        return ok ? 0 : 1;
    }
    if (!ok)
        return 1;

    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    Service service(config);
    std::string error;
    if (!service.Start(&error)) {
        Log(error);
        return 1;
    }
    Log("已启动，跟随 " + std::to_string(config.broker.prefixes.size()) + " 个前缀，数据库缓冲上限 " +
        std::to_string(config.database.bufferRows) + " 行");
    int64_t lastReportMs = NowUtcMs();
    while (!g_stop) {
        ::usleep(200 * 1000);
        if (NowUtcMs() - lastReportMs >= 60000) {
            lastReportMs = NowUtcMs();
            service.Report();
        }
    }
    Log("收到停止信号，写完缓冲后退出");
    service.Stop(10000);
    service.Report();
    Log("已退出");
    return 0;
}
