#include "app/Station.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace tav {

namespace {
std::string CurrentFolder()
{
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf))
        return buf;
    return ".";
}
}  // namespace

Station::Station(const StationOptions &options, EventSink &sink)
    : startFolder_(options.startFolder.empty() ? CurrentFolder() : options.startFolder),
      port_(options.port),
      sink_(sink),
      table_(std::make_unique<ConnectionTable>()),
      handler_(std::make_unique<DrainHandler>()),
      server_(std::make_unique<Server>(*table_, sink, *handler_)),
      steady_(std::make_unique<SteadyTable>()),
      steadyLog_(std::make_unique<SteadyLog>(*steady_))
{
    dataFolder_ = startFolder_ + "/data";
}

Station::~Station() { Stop(); }

int Station::Start(std::vector<std::string> *errors)
{
    // Output goes to data/ under the start folder; without it, the start folder.
    if (::mkdir(dataFolder_.c_str(), 0777) != 0 && errno != EEXIST) {
        if (errors)
            errors->push_back("无法创建数据文件夹 " + dataFolder_ + "：" + std::strerror(errno) +
                              "，文件将保存在启动文件夹中");
        dataFolder_ = startFolder_;
    }
    std::string error;
    if (server_->OpenServer(port_, true, &error) != 0) {
        if (errors) {
            errors->push_back(error);
            errors->push_back("与界面通信SOCKET产生错误");
        }
        return -1;
    }
    if (!server_->Start()) {
        if (errors)
            errors->push_back("产生与监视计算机通信线程错误");
        return -1;
    }
    return 0;
}

void Station::Stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    server_->Stop();
}

}  // namespace tav
