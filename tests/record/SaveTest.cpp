// The save thread: file names, never overwriting, shared ownership of the
// recordings and reported failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "core/record/CsvExport.h"
#include "core/record/Recorder.h"
#include "tests/record/RecordTestSupport.h"

namespace tav {
namespace {

using test::Exists;
using test::MakePackets;
using test::ReadFile;

// 5 March 2024, 14:09 local time.
std::time_t SaveMoment()
{
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 9;
    t.tm_sec = 30;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

size_t CountLines(const std::vector<uint8_t> &text)
{
    return size_t(std::count(text.begin(), text.end(), uint8_t('\n')));
}

class SaveTest : public ::testing::Test {
protected:
    SaveTest() { recorder.SetClock(SaveMoment); }
    void Connect(int slot, uint32_t address)
    {
        ConnectionRecord &rec = (*table)[slot];
        rec.recording = AllocateRecordingBuffer(kRecordingCapacity);
        rec.sensorAddress = address;
        rec.samplingFrequency = 26667.0f;
        rec.inUse = 1;
    }
    void Record(int slot, const std::vector<uint8_t> &bytes)
    {
        ConnectionRecord &rec = (*table)[slot];
        std::lock_guard lock(rec.conditionMutex);
        for (size_t at = 0; at < bytes.size(); at += 22 * kPacketBytes)
            recorder.RecordBlock(rec, bytes.data() + at, uint32_t(std::min<size_t>(22 * kPacketBytes, bytes.size() - at)));
    }
    bool SaveAndWait()
    {
        std::string message;
        bool ok = recorder.Save(&message);
        recorder.Saver().Join();
        return ok;
    }
    std::string Path(const std::string &name) const { return scratch.Path() + "/" + name; }

    test::ScratchFolder scratch;
    std::string folder = scratch.Path();
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    test::CollectingSink sink;
    Recorder recorder{*table, sink, folder};
};

TEST_F(SaveTest, SavingWhileRecordingStopsFirstAndWritesEverySlot)
{
    Connect(0, 7);
    Connect(3, 12);  // connected, nothing recorded
    auto data = MakePackets(7, 26667.0f, 44);
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    Record(0, data);
    ASSERT_TRUE(SaveAndWait());
    EXPECT_EQ(recorder.AcquisitionState(), 0);

    EXPECT_EQ(ReadFile(Path("0007_202403051409.vdat")), data);
    auto csv = ReadFile(Path("0007_202403051409.csv"));
    EXPECT_EQ(CountLines(csv), 1u + 44 * 116);
    // A slot with nothing recorded gets an empty .vdat and a header-only CSV.
    EXPECT_TRUE(Exists(Path("0012_202403051409.vdat")));
    EXPECT_TRUE(ReadFile(Path("0012_202403051409.vdat")).empty());
    auto header = TransientCsvHeader();
    EXPECT_EQ(ReadFile(Path("0012_202403051409.csv")), std::vector<uint8_t>(header.begin(), header.end()));
    // No temporary file is left behind.
    EXPECT_FALSE(Exists(Path("0007_202403051409.vdat.part")));

    EXPECT_TRUE(sink.SawSaveFinished());
    auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("存储完成"), std::string::npos);
    EXPECT_EQ(recorder.Saver().LastFiles().size(), 4u);
}

TEST_F(SaveTest, SecondSaveInTheSameMinuteAndSameAddressesKeepEverything)
{
    Connect(0, 7);
    Connect(1, 7);  // two sensors with one address
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    Record(0, MakePackets(7, 26667.0f, 22, 0));
    Record(1, MakePackets(7, 26667.0f, 22, 1000));
    ASSERT_TRUE(SaveAndWait());
    ASSERT_TRUE(SaveAndWait());
    for (const char *base : {"0007_202403051409", "0007_202403051409_2", "0007_202403051409_3",
                             "0007_202403051409_4"}) {
        EXPECT_EQ(ReadFile(Path(std::string(base) + ".vdat")).size(), 22 * kPacketBytes) << base;
        EXPECT_TRUE(Exists(Path(std::string(base) + ".csv"))) << base;
    }
    // Slot order: slot 1's data carry the names with the odd suffixes.
    EXPECT_EQ(test::PacketSequence(ReadFile(Path("0007_202403051409_2.vdat")).data()), 1000u);
    EXPECT_FALSE(Exists(Path("0007_202403051409_5.vdat")));
}

TEST_F(SaveTest, RecordingAndSecondSaveAreRefusedWhileSaving)
{
    Connect(0, 7);
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    // Long enough that the CSV export is still running when asked again.
    Record(0, MakePackets(7, 26667.0f, 22 * 400));
    std::string message;
    ASSERT_TRUE(recorder.Save(&message));
    EXPECT_TRUE(recorder.Saving());
    EXPECT_FALSE(recorder.StartRecording(&message));
    EXPECT_EQ(message, kSavingMessage);
    message.clear();
    EXPECT_FALSE(recorder.Save(&message));
    EXPECT_EQ(message, kSavingMessage);
    recorder.Saver().Join();
    EXPECT_FALSE(recorder.Saving());
    EXPECT_TRUE(recorder.StartRecording(nullptr));
}

TEST_F(SaveTest, ConnectionEndingDuringTheSaveKeepsItsBufferUntilWritten)
{
    Connect(0, 7);
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    auto data = MakePackets(7, 26667.0f, 22 * 300);
    Record(0, data);
    ASSERT_TRUE(recorder.Save(nullptr));
    // What the receive thread does at a disconnect.
    {
        ConnectionRecord &rec = (*table)[0];
        rec.inUse = 0;
        std::lock_guard lock(rec.recordingMutex);
        rec.recording.reset();
    }
    recorder.Saver().Join();
    EXPECT_EQ(ReadFile(Path("0007_202403051409.vdat")), data);
    EXPECT_EQ(CountLines(ReadFile(Path("0007_202403051409.csv"))), 1u + 300 * 22 * 116);
}

TEST_F(SaveTest, UnwritableFolderIsReportedNamingTheFile)
{
    // A folder below a regular file cannot be written, not even by root.
    test::WriteFile(Path("plain"), {1, 2, 3});
    folder = Path("plain") + "/data";
    Connect(0, 7);
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    Record(0, MakePackets(7, 26667.0f, 22));
    ASSERT_TRUE(SaveAndWait());
    EXPECT_TRUE(sink.SawSaveFinished());
    auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[0].find(folder + "/0007_202403051409.vdat"), std::string::npos) << messages[0];
    EXPECT_NE(messages[1].find(folder + "/0007_202403051409.csv"), std::string::npos) << messages[1];
    EXPECT_NE(messages[2].find("2个文件存储失败"), std::string::npos) << messages[2];
    EXPECT_TRUE(recorder.Saver().LastFiles().empty());
}

TEST_F(SaveTest, ProgressRisesToAFinishedHundred)
{
    Connect(0, 7);
    Connect(1, 8);
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    Record(0, MakePackets(7, 26667.0f, 22 * 200));
    Record(1, MakePackets(8, 26667.0f, 22 * 200));
    ASSERT_TRUE(SaveAndWait());
    int last = -1;
    int finished = 0;
    for (const auto &e : sink.Events()) {
        if (e.type != kSaveProgressEvent)
            continue;
        EXPECT_GE(e.wParam, last);
        last = int(e.wParam);
        finished += e.lParam == 1;
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(finished, 1);
}

}  // namespace
}  // namespace tav
