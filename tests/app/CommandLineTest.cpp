// The station's command line, its platform choice and its data folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/station/CommandLine.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"

namespace fs = std::filesystem;

namespace {

struct Parsed {
    tav::CommandLineAction action;
    int port;
    std::string error;
};

Parsed Parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "tavenor");
    Parsed p{tav::CommandLineAction::Run, 22009, {}};
    p.action = tav::ParseCommandLine(int(args.size()), args.data(), &p.port, &p.error);
    return p;
}

std::string Platforms(const std::map<std::string, std::string> &vars)
{
    return tav::ChoosePlatforms([&](const char *name) -> const char * {
        auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    });
}

}  // namespace

TEST(CommandLine, PortSpellingsAndWhatIsMissing)
{
    EXPECT_EQ(Parse({}).port, 22009);
    for (auto args : {std::vector<const char *>{"--port", "23000"}, {"--port=23000"}}) {
        Parsed p = Parse(args);
        EXPECT_EQ(p.action, tav::CommandLineAction::Run) << p.error;
        EXPECT_EQ(p.port, 23000);
    }
    EXPECT_EQ(Parse({"--port=0"}).port, 0);
    EXPECT_EQ(Parse({"--port", "65535"}).port, 65535);

    // Regression: "--port" alone was reported as an unknown option.
    for (auto args : {std::vector<const char *>{"--port"}, {"--port="}}) {
        Parsed p = Parse(args);
        EXPECT_EQ(p.action, tav::CommandLineAction::Error);
        EXPECT_NE(p.error.find("needs a port number"), std::string::npos) << p.error;
    }
    for (const char *bad : {"65536", "-1", "22x", "", " 80", "123456"}) {
        Parsed p = Parse({"--port", bad});
        EXPECT_EQ(p.action, tav::CommandLineAction::Error) << bad;
        EXPECT_NE(p.error.find(std::string("\"") + bad + "\""), std::string::npos) << p.error;
    }
    Parsed unknown = Parse({"--prot", "1"});
    EXPECT_EQ(unknown.action, tav::CommandLineAction::Error);
    EXPECT_NE(unknown.error.find("unknown option --prot"), std::string::npos);
    EXPECT_EQ(Parse({"-h"}).action, tav::CommandLineAction::Help);
    EXPECT_EQ(Parse({"--port", "1", "--help"}).action, tav::CommandLineAction::Help);
    const std::string help = tav::CommandLineHelp();
    for (const char *item : {"--port=N", "0 picks a free", "-h, --help", "offscreen"})
        EXPECT_NE(help.find(item), std::string::npos) << item;
}

TEST(CommandLine, OffscreenIsTheLastPlatformTriedUnlessTheOperatorChose)
{
    EXPECT_EQ(Platforms({}), "offscreen");
    EXPECT_EQ(Platforms({{"DISPLAY", ""}}), "offscreen");
    EXPECT_EQ(Platforms({{"DISPLAY", ":99"}}), "xcb;offscreen");
    EXPECT_EQ(Platforms({{"WAYLAND_DISPLAY", "wayland-0"}}), "wayland;offscreen");
    EXPECT_EQ(Platforms({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}), "xcb;wayland;offscreen");
    EXPECT_EQ(Platforms({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_SESSION_TYPE", "wayland"}}),
              "wayland;xcb;offscreen");
    // The operator's choice stands; an empty one (as make exported it) is none.
    EXPECT_EQ(Platforms({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":0"}}), "");
    EXPECT_EQ(Platforms({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ":0"}}), "xcb;offscreen");
}

TEST(StationStart, ADataFileIsNoDataFolder)
{
    const fs::path folder = fs::temp_directory_path() / ("tav_datafile_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "data") << "not a folder";
    tav::test::RecordingEventSink sink;
    {
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = folder.string();
        tav::Station station(options, sink);
        std::vector<std::string> messages;
        EXPECT_EQ(station.Start(&messages), 0);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind("无法创建数据文件夹 " + (folder / "data").string() + "：", 0), 0u) << messages[0];
        EXPECT_EQ(station.DataFolder(), folder.string());
    }
    // A folder of that name is taken as it is, and says nothing.
    fs::remove(folder / "data");
    fs::create_directories(folder / "data");
    {
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = folder.string();
        tav::Station station(options, sink);
        std::vector<std::string> messages;
        EXPECT_EQ(station.Start(&messages), 0);
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(station.DataFolder(), (folder / "data").string());
    }
    fs::remove_all(folder);
}
