#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/steady/SteadyLog.h"
#include "tests/steady/SteadyTestTable.h"

namespace tav {
namespace {

namespace fs = std::filesystem;
using test::HandTable;

std::string ReadFile(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string GbkToUtf8(const std::string &gbk)
{
    iconv_t cd = iconv_open("UTF-8", "GBK");
    std::string out(gbk.size() * 3 + 4, '\0');
    char *in = const_cast<char *>(gbk.data());
    size_t inLeft = gbk.size(), outLeft = out.size();
    char *dst = out.data();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, size_t(-1));
    out.resize(out.size() - outLeft);
    return out;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

std::vector<std::string> Fields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0, end;
    while ((end = line.find(',', start)) != std::string::npos) {
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

std::vector<fs::path> CsvFiles(const fs::path &folder)
{
    std::vector<fs::path> files;
    for (auto &e : fs::directory_iterator(folder))
        files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

class SteadyLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/steadylogXXXXXX";
        folder_ = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // A clock that moves one second every second tick.
    SteadyLog::Clock HalfSecondClock()
    {
        return [this] { return base_ + std::time_t(ticks_ / 2); };
    }
    std::vector<std::string> Tick(SteadyTable &steady, SteadyLog &log)
    {
        auto m = steady.Tick(*t_.table, &log);
        ++ticks_;
        return m;
    }

    fs::path folder_;
    HandTable t_;
    std::time_t base_ = 1709820309;  // a fixed moment
    int ticks_ = 0;
};

TEST_F(SteadyLogTest, TwoSensorsForTenSecondsGiveTwentyRowsEach)
{
    auto steady = std::make_unique<SteadyTable>();
    SteadyLog log(*steady, HalfSecondClock());
    t_.Connect(0, 5);
    t_.SetStats(0, 0.123456789, 1480.5f);
    t_.Connect(1, 12);
    t_.SetStats(1, 2.0e-7);
    t_.Connect(2, 0);  // address not yet known: no file
    Tick(*steady, log);  // binds
    ticks_ = 0;          // the logged ten seconds start on a whole second
    EXPECT_TRUE(log.Start(*t_.table, folder_).empty());
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Tick(*steady, log).empty());
    log.Stop();

    auto files = CsvFiles(folder_);
    ASSERT_EQ(files.size(), 2u);
    std::tm tm{};
    std::time_t opened = base_;
    localtime_r(&opened, &tm);
    char expected[96];
    std::snprintf(expected, sizeof expected, "稳态0005-_%4d-%.2d-%.2d-%.2d-%.2d-%.2d.csv", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    EXPECT_EQ(files[0].filename().string(), expected);
    EXPECT_EQ(files[1].filename().string().substr(0, 10), "稳态0012");

    const std::string titles =
        "时间,X轴加速度有效值,X轴加速度峰值,X轴加速度峭度系数,X轴速度有效值,X轴速度峰值,X轴位移有效值,X轴位移峰值,"
        "Y轴加速度有效值,Y轴加速度峰值,Y轴加速度峭度系数,Y轴速度有效值,Y轴速度峰值,Y轴位移有效值,Y轴位移峰值,"
        "Z轴加速度有效值,Z轴加速度峰值,Z轴加速度峭度系数,Z轴速度有效值,Z轴速度峰值,Z轴位移有效值,Z轴位移峰值,rpm";
    for (const auto &f : files) {
        auto lines = Lines(ReadFile(f));
        ASSERT_EQ(lines.size(), 21u) << f;
        EXPECT_EQ(GbkToUtf8(lines[0]), titles);
        for (size_t i = 1; i < lines.size(); ++i) {
            auto fields = Fields(lines[i]);
            ASSERT_EQ(fields.size(), 24u) << lines[i];
            EXPECT_EQ(fields[23], "");
            EXPECT_EQ(fields[0].size(), 19u);
        }
    }
    // Six significant digits, plain or exponent form; AK is the kurtosis.
    auto first = Fields(Lines(ReadFile(files[0]))[1]);
    EXPECT_EQ(first[1], "0.123457");   // X AR
    EXPECT_EQ(first[3], "1000.12");    // X AK
    EXPECT_EQ(first[22], "1480.5");    // rpm
    auto second = Fields(Lines(ReadFile(files[1]))[1]);
    EXPECT_EQ(second[1], "2e-07");
    std::snprintf(expected, sizeof expected, "%4d-%.2d-%.2d-%.2d-%.2d-%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    EXPECT_EQ(first[0], expected);
}

TEST_F(SteadyLogTest, SensorKnownLaterGetsItsFileAndReconnectContinuesIt)
{
    auto steady = std::make_unique<SteadyTable>();
    SteadyLog log(*steady, HalfSecondClock());
    t_.Connect(0, 0);
    log.Start(*t_.table, folder_);
    Tick(*steady, log);
    EXPECT_TRUE(CsvFiles(folder_).empty());
    t_[0].sensorAddress = 9;
    Tick(*steady, log);
    ASSERT_EQ(CsvFiles(folder_).size(), 1u);
    steady->Release(0, t_.Disconnect(0));
    Tick(*steady, log);
    t_.Connect(3, 9);
    Tick(*steady, log);
    log.Stop();
    auto files = CsvFiles(folder_);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Lines(ReadFile(files[0])).size(), 3u);  // header and two rows
    EXPECT_EQ(steady->Record(0).logOpen, 0);
}

TEST_F(SteadyLogTest, StopAndStartWithinOneSecondKeepsBothFiles)
{
    auto steady = std::make_unique<SteadyTable>();
    SteadyLog log(*steady, [this] { return base_; });
    t_.Connect(0, 5);
    Tick(*steady, log);
    for (int run = 0; run < 3; ++run) {
        log.Start(*t_.table, folder_);
        Tick(*steady, log);
        log.Stop();
    }
    auto files = CsvFiles(folder_);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_NE(files[1].filename().string().find(".csv"), std::string::npos);
    int suffixed = 0;
    for (const auto &f : files) {
        EXPECT_EQ(Lines(ReadFile(f)).size(), 2u) << f;
        const std::string name = f.filename().string();
        suffixed += name.ends_with("_2.csv") || name.ends_with("_3.csv");
    }
    EXPECT_EQ(suffixed, 2);
}

TEST_F(SteadyLogTest, UncreatableFolderIsReportedOnceWithoutCrash)
{
    // Under a regular file no folder can exist, whatever the user's rights.
    const fs::path plain = folder_ / "plain";
    std::ofstream(plain) << "x";
    auto steady = std::make_unique<SteadyTable>();
    SteadyLog log(*steady, HalfSecondClock());
    t_.Connect(0, 5);
    Tick(*steady, log);
    auto messages = log.Start(*t_.table, (plain / "data").string());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("无法创建稳态数据文件"), std::string::npos);
    EXPECT_NE(messages[0].find("稳态0005-_"), std::string::npos);
    EXPECT_EQ(steady->Record(0).logOpen, 0);
    t_.Connect(1, 6);  // a second sensor fails too, on a later tick: once more
    int later = 0;
    for (int i = 0; i < 6; ++i)
        later += int(Tick(*steady, log).size());
    EXPECT_EQ(later, 1);
    EXPECT_EQ(steady->Record(0).logOpen, 0);
    log.Stop();
    // A new run reports again.
    EXPECT_EQ(log.Start(*t_.table, (plain / "data").string()).size(), 1u);
}

}  // namespace
}  // namespace tav
