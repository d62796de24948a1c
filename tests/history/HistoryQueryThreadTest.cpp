// The viewer's reader thread against a database filled by the station's
// writer: answers equal a direct read, a newer query replaces a waiting one,
// a database that appears later is found, exports are whole or absent.
#include <gtest/gtest.h>

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/history/HistoryCsv.h"
#include "core/history/HistoryQueryThread.h"
#include "history/ViewerTestSupport.h"

namespace {

constexpr int64_t kMinute = 60'000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
const int64_t kEnd = 1'790'000'000'000;

// Collects the answers delivered on the query thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::unique_ptr<tav::HistoryAnswer>> answers;

    tav::HistoryQueryThread::Deliver Deliver()
    {
        return [this](std::unique_ptr<tav::HistoryAnswer> a) {
            std::lock_guard<std::mutex> lock(mutex);
            answers.push_back(std::move(a));
            arrived.notify_all();
        };
    }
    // Waits (generously) for `n` answers in all.
    bool WaitFor(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return answers.size() >= n; });
    }
};

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct HistoryQueryThreadTest : ::testing::Test {
    std::string folder;
    std::string database;

    void SetUp() override
    {
        folder = ::testing::TempDir() + "hqt-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::system(("rm -rf '" + folder + "'").c_str());
        database = folder + "/" + tav::kHistoryFileName;
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
    void Fill()
    {
        // Two hours of ticks for sensors 3 and 9, three days of one tick a minute before.
        ASSERT_TRUE(tav::test::FillHistory(folder, {3, 9},
                                           {{kEnd - 3 * kDay, kEnd - 2 * kHour, kMinute}, {kEnd - 2 * kHour, kEnd, 500}}));
    }
    tav::HistoryQuery Query(uint64_t request, int32_t address, int64_t span)
    {
        tav::HistoryQuery q;
        q.request = request;
        q.address = address;
        q.fromUtcMs = kEnd - span;
        q.toUtcMs = kEnd;
        q.resolution = tav::HistoryReader::AutoResolution(q.fromUtcMs, q.toUtcMs);
        return q;
    }
};

TEST_F(HistoryQueryThreadTest, AnswersEqualADirectReadAndAMissingDatabaseIsFoundLater)
{
    Inbox inbox;
    tav::HistoryQueryThread thread(database, inbox.Deliver());
    thread.RequestSensors();
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_FALSE(inbox.answers[0]->ok) << "no database yet";
    EXPECT_FALSE(inbox.answers[0]->error.empty());

    Fill();
    thread.RequestSensors();
    ASSERT_TRUE(inbox.WaitFor(2));
    ASSERT_TRUE(inbox.answers[1]->ok) << inbox.answers[1]->error;
    ASSERT_EQ(inbox.answers[1]->sensors.size(), 2u);
    EXPECT_EQ(inbox.answers[1]->sensors[0].address, 3);
    EXPECT_EQ(inbox.answers[1]->sensors[1].address, 9);

    tav::HistoryReader direct;
    ASSERT_TRUE(direct.Open(database, nullptr));
    size_t expected = 2;
    for (int64_t span : {kHour, 7 * kDay}) {
        const tav::HistoryQuery q = Query(40 + expected, 9, span);
        thread.RequestSeries(q);
        ASSERT_TRUE(inbox.WaitFor(++expected));
        const tav::HistoryAnswer &a = *inbox.answers.back();
        ASSERT_TRUE(a.ok) << a.error;
        EXPECT_EQ(a.kind, tav::HistoryAnswer::kSeries);
        EXPECT_EQ(a.query.request, q.request);
        tav::HistorySeries want;
        ASSERT_TRUE(direct.Read(9, q.fromUtcMs, q.toUtcMs, q.resolution, &want));
        ASSERT_GT(want.Size(), 0u);
        EXPECT_EQ(a.series.resolution, q.resolution);
        EXPECT_EQ(a.series.utcMs, want.utcMs);
        EXPECT_EQ(a.series.mean[17], want.mean[17]);
        EXPECT_EQ(a.series.max[21], want.max[21]);
    }
    EXPECT_EQ(inbox.answers[2]->series.Size(), 7200u) << "an hour of ticks";
    EXPECT_EQ(inbox.answers[3]->series.resolution, tav::HistoryResolution::kMinute);
    // An answer is counted off just after its delivery.
    for (int i = 0; i < 500 && thread.Outstanding() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(thread.Outstanding(), 0);
}

TEST_F(HistoryQueryThreadTest, ANewerQueryReplacesOneStillWaiting)
{
    Fill();
    tav::test::ReadGate gate;
    Inbox inbox;
    tav::HistoryQueryThread thread(database, inbox.Deliver());
    thread.RequestSeries(Query(1, 3, kHour));
    ASSERT_TRUE(gate.WaitUntilHeld()) << "the first query is under way";
    // While it is held, three more choices: only the last is read.
    thread.RequestSeries(Query(2, 3, kDay));
    thread.RequestSeries(Query(3, 9, 30 * kDay));
    thread.RequestSeries(Query(4, 9, 2 * kHour));
    EXPECT_EQ(thread.Outstanding(), 2);
    gate.Open();
    ASSERT_TRUE(inbox.WaitFor(2));
    // Nothing else is on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (thread.Outstanding() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(inbox.answers.size(), 2u);
    EXPECT_EQ(inbox.answers[0]->query.request, 1u);
    EXPECT_EQ(inbox.answers[1]->query.request, 4u);
    EXPECT_EQ(inbox.answers[1]->series.Size(), 14400u) << "two hours of sensor 9's ticks";
}

TEST_F(HistoryQueryThreadTest, ExportWritesTheGivenEntriesWholeOrNothing)
{
    Fill();
    tav::HistoryReader direct;
    ASSERT_TRUE(direct.Open(database, nullptr));
    auto data = std::make_shared<tav::HistorySeries>();
    ASSERT_TRUE(direct.Read(3, kEnd - 3 * kDay, kEnd, tav::HistoryResolution::kMinute, data.get()));
    ASSERT_GT(data->Size(), 3000u);

    Inbox inbox;
    tav::HistoryQueryThread thread(database, inbox.Deliver());
    const std::string path = folder + "/shown.csv";
    thread.RequestExport(data, 3, path, false);
    const std::string bad = folder + "/no-such-folder/shown.csv";
    thread.RequestExport(data, 3, bad, true);
    ASSERT_TRUE(inbox.WaitFor(2));
    const tav::HistoryAnswer &good = *inbox.answers[0];
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.exportPath, path);
    // The same bytes as the tool's export of these entries.
    const std::string reference = folder + "/reference.csv";
    const int fd = ::open(reference.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tav::WriteHistoryCsv(fd, *data, false), 0);
    ::close(fd);
    const std::string written = ReadFile(path);
    EXPECT_EQ(written, ReadFile(reference));
    size_t lines = 0;
    for (char c : written) lines += c == '\n';
    EXPECT_EQ(lines, data->Size() + 1);

    const tav::HistoryAnswer &failed = *inbox.answers[1];
    EXPECT_FALSE(failed.ok);
    EXPECT_NE(failed.error.find(bad), std::string::npos) << failed.error;
    EXPECT_NE(::access(bad.c_str(), F_OK), 0);
}

TEST_F(HistoryQueryThreadTest, ExportToAFullDiskLeavesNoFile)
{
    // /dev/full takes the open and fails every write: the tool's writer
    // reports it and the half-written file is not left behind.
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    Fill();
    tav::HistoryReader direct;
    ASSERT_TRUE(direct.Open(database, nullptr));
    auto data = std::make_shared<tav::HistorySeries>();
    ASSERT_TRUE(direct.Read(3, kEnd - kHour, kEnd, tav::HistoryResolution::kRaw, data.get()));
    const std::string link = folder + "/full.csv";
    ASSERT_EQ(::symlink("/dev/full", link.c_str()), 0);
    Inbox inbox;
    tav::HistoryQueryThread thread(database, inbox.Deliver());
    thread.RequestExport(data, 3, link, false);
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_FALSE(inbox.answers[0]->ok);
    EXPECT_FALSE(inbox.answers[0]->error.empty());
    struct stat sb {};
    EXPECT_NE(::lstat(link.c_str(), &sb), 0) << "nothing left under the export's name";
}

}  // namespace
