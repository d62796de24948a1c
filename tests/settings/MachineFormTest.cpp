// The machine settings form: refusals that name the field and write
// nothing, a save that writes devicepara.dat as the parameter dialog does and
// station.toml keeping what the operator wrote, the second write's failure
// undone, the bearings in the settings file, and the known addresses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/settings/MachineForm.h"
#include "core/settings/StationSettings.h"

namespace tav {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const char *const kSettings =
    "# plant 3\n"
    "[history]\n"
    "raw_days = 4\n"
    "\n"
    "[sensor.5]   # pump 1\n"
    "name = \"old\"\n"
    "velocity_alert = 2.8          # mm/s RMS\n"
    "owner = \"maintenance\"        # not ours\n"
    "\n"
    "[sensor.7]\n"
    "name = \"fan\"\n";

struct MachineFormFixture : ::testing::Test {
    fs::path folder, device, settings;
    DeviceParameterTable table;

    void SetUp() override
    {
        folder = fs::path(::testing::TempDir()) / ("machine_form_" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        device = folder / "devicepara.dat";
        settings = folder / "station.toml";
        std::ofstream(settings, std::ios::binary) << kSettings;
        // Sensor 9 has a record with a reserved word that must survive.
        DeviceParameterRecord other{9, 0xA5A5A5A5u, 1, 3000};
        table.SetRecord(0, other);
        std::ofstream(device, std::ios::binary)
            .write(reinterpret_cast<const char *>(table.Image()), DeviceParameterTable::kImageSize);
    }
    void TearDown() override { fs::remove_all(folder); }

    static MachineFields Good()
    {
        MachineFields f;
        f.address = "5";
        f.workMode = 2;
        f.ratedSpeed = "1480";
        f.name = "1号泵 电机端";
        f.isoClass = "group2-rigid";
        f.alert[kQuantityVelocity] = "3.1";
        f.danger[kQuantityVelocity] = "4.5";
        f.danger[kQuantityTemperature] = "85";
        f.onDelayS = "2.5";
        f.ratedRpm = "300";
        f.bearings = {{"驱动端 6308", "8", "15.875", "65", "0"}, {}};  // the empty row is no bearing
        return f;
    }
    std::string Save(const MachineFields &f)
    {
        return SaveMachineForm(ReadMachineForm(f), table, device.string(), settings.string());
    }
};

TEST_F(MachineFormFixture, BadInputIsRefusedNamingTheFieldAndNothingIsWritten)
{
    const std::string deviceBefore = ReadAll(device), settingsBefore = ReadAll(settings);
    struct Case {
        const char *why;
        void (*spoil)(MachineFields &);
        const char *field;
    };
    const Case cases[] = {
        {"address", [](MachineFields &f) { f.address = "0"; }, "传感器地址"},
        {"address text", [](MachineFields &f) { f.address = "5a"; }, "传感器地址"},
        {"speed", [](MachineFields &f) { f.ratedSpeed = "15OO"; }, "额定转速"},
        {"negative speed", [](MachineFields &f) { f.ratedSpeed = "-1"; }, "额定转速"},
        {"class", [](MachineFields &f) { f.isoClass = "group3-soft"; }, "ISO 10816-3 等级"},
        {"limit text", [](MachineFields &f) { f.alert[kQuantityKurtosis] = "6 g"; }, "加速度峭度 预警限值"},
        {"zero limit", [](MachineFields &f) { f.danger[kQuantityTemperature] = "0"; }, "温度 危险限值"},
        {"nan limit", [](MachineFields &f) { f.alert[kQuantityAccelerationRms] = "nan"; }, "加速度有效值 预警限值"},
        {"order", [](MachineFields &f) { f.danger[kQuantityVelocity] = "3.1"; }, "速度有效值(10-1000Hz) 危险限值"},
        {"delay", [](MachineFields &f) { f.onDelayS = "61"; }, "报警延时"},
        {"delay past the capture ring", [](MachineFields &f) { f.onDelayS = "15"; }, "报警延时"},
        {"delay text", [](MachineFields &f) { f.onDelayS = "5s"; }, "报警延时"},
        {"rated rpm", [](MachineFields &f) { f.ratedRpm = "0"; }, "机器额定转速"},
        {"elements", [](MachineFields &f) { f.bearings[0].elements = "8.5"; }, "轴承 第1行 滚动体数"},
        {"ball", [](MachineFields &f) { f.bearings[0].ballDiameterMm = "x"; }, "轴承 第1行 滚动体直径"},
        {"geometry", [](MachineFields &f) { f.bearings[0].pitchDiameterMm = "10"; }, "轴承 第1行"},
        {"angle", [](MachineFields &f) { f.bearings[0].contactAngleDeg = "90"; }, "轴承 第1行"},
    };
    for (const Case &c : cases) {
        MachineFields f = Good();
        c.spoil(f);
        const MachineForm form = ReadMachineForm(f);
        EXPECT_FALSE(form.ok) << c.why;
        EXPECT_EQ(form.field, c.field) << c.why;
        EXPECT_NE(form.message.find(c.field), std::string::npos) << c.why;
        EXPECT_EQ(Save(f), form.message) << c.why;
    }
    EXPECT_EQ(ReadAll(device), deviceBefore);
    EXPECT_EQ(ReadAll(settings), settingsBefore);
    EXPECT_EQ(table.Record(1).sensorAddress, 0u);

    // A settings file that is no longer TOML is not edited blindly.
    std::ofstream(settings, std::ios::binary | std::ios::app) << "[broken\n";
    const std::string spoiled = ReadAll(settings);
    EXPECT_NE(Save(Good()).find("station.toml"), std::string::npos);
    EXPECT_EQ(ReadAll(settings), spoiled);
    EXPECT_EQ(ReadAll(device), deviceBefore);
}

TEST_F(MachineFormFixture, GoodSaveWritesBothFilesAsTheirOtherWritersDo)
{
    // What the parameter dialog's save makes of the same file.
    DeviceParameterTable reference;
    std::string error;
    ASSERT_TRUE(reference.LoadDeviceParameters(device.string(), true, &error));
    const fs::path expected = folder / "expected.dat";
    ASSERT_GE(reference.SaveDeviceRecord(expected.string(), 5, 2, 1480, &error), 0) << error;

    ASSERT_EQ(Save(Good()), "");
    EXPECT_EQ(ReadAll(device), ReadAll(expected));
    EXPECT_EQ(table.Record(1).sensorAddress, 5u);
    EXPECT_EQ(table.Record(0).reserved, 0xA5A5A5A5u);

    const std::string text = ReadAll(settings);
    for (const char *kept : {"# plant 3\n", "[sensor.5]   # pump 1\n", "velocity_alert = 3.1          # mm/s RMS\n",
                             "owner = \"maintenance\"        # not ours\n", "[sensor.7]\nname = \"fan\"\n"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept;
    std::vector<std::string> messages;
    const StationSettings s = ParseStationSettings(text, "station.toml", &messages);
    EXPECT_TRUE(s.readable);
    EXPECT_EQ(s.history.rawDays, 4);
    const MachineSettings &m = s.sensors.at(5);
    EXPECT_EQ(m.name, "1号泵 电机端");
    EXPECT_EQ(m.isoClass, IsoClass::kGroup2Rigid);
    EXPECT_EQ(m.danger[kQuantityVelocity], 4.5);
    EXPECT_EQ(m.danger[kQuantityTemperature], 85.0);
    EXPECT_EQ(m.onDelayS, 2.5);
    EXPECT_EQ(m.ratedRpm, 300.0);
    EXPECT_TRUE(SlowMachine(m));
    for (const std::string &message : messages)
        EXPECT_EQ(message.find("rated_rpm"), std::string::npos) << message;  // a known key
    EXPECT_EQ(s.sensors.at(7).name, "fan");

    // Shown again, the form reads back as it was typed (less the blank row).
    const DeviceParameterRecord record = table.Record(1);
    const MachineFields back = FieldsOf(5, &record, &m);
    EXPECT_EQ(back.workMode, 2);
    EXPECT_EQ(back.ratedSpeed, "1480");
    EXPECT_EQ(back.danger[kQuantityVelocity], "4.5");
    EXPECT_EQ(back.onDelayS, "2.5");
    EXPECT_EQ(back.ratedRpm, "300");
}

TEST_F(MachineFormFixture, AFailedSecondWriteLeavesTheSettingsFileAsItWas)
{
    const std::string before = ReadAll(settings);
    const fs::path nowhere = folder / "no" / "devicepara.dat";
    const std::string message = SaveMachineForm(ReadMachineForm(Good()), table, nowhere.string(), settings.string());
    EXPECT_NE(message.find("已恢复原样"), std::string::npos) << message;
    EXPECT_EQ(ReadAll(settings), before);
    EXPECT_EQ(table.Record(1).sensorAddress, 0u);

    // No settings file before: none after.
    fs::remove(settings);
    SaveMachineForm(ReadMachineForm(Good()), table, nowhere.string(), settings.string());
    EXPECT_FALSE(fs::exists(settings));

    // A full table is refused before either file is touched.
    std::ofstream(settings, std::ios::binary) << kSettings;
    for (int i = 0; i < DeviceParameterTable::kRecordCount; ++i)
        table.SetRecord(i, {uint32_t(100 + i), 0, 1, 1500});
    EXPECT_NE(Save(Good()).find("已满"), std::string::npos);
    EXPECT_EQ(ReadAll(settings), before);
}

TEST(MachineTableBearings, WrittenAfterTheTableReplacingTheOldOnesAndKeepingComments)
{
    const std::string hand = "[sensor.5]\n"
                             "name = \"pump\"\n"
                             "\n"
                             "[sensor.7]\n"
                             "name = \"fan\"\n"
                             "\n"
                             "[[sensor.5.bearing]]   # fitted 2024\n"
                             "name = \"NDE\"\n"
                             "elements = 7\n"
                             "ball_diameter_mm = 10\n"
                             "pitch_diameter_mm = 40\n"
                             "supplier = \"x\"\n"
                             "# next the old one\n"
                             "[[sensor.5.bearing]]\n"
                             "name = \"old\"\n"
                             "elements = 9\n";
    MachineSettings m;
    m.address = 5;
    m.name = "pump";
    m.bearings = {{"DE", 8, 15.875, 65, 0}, {"NDE", 7, 10, 40.5, 15}};
    const std::string text = EditMachineTable(hand, m);
    const size_t table = text.find("[sensor.5]"), fan = text.find("[sensor.7]");
    const size_t de = text.find("[[sensor.5.bearing]]\nname = \"DE\"\nelements = 8\nball_diameter_mm = 15.875\n"
                                "pitch_diameter_mm = 65\ncontact_angle_deg = 0\n");
    // The NDE bearing keeps its header comment and its supplier.
    const size_t nde = text.find("[[sensor.5.bearing]]   # fitted 2024\nname = \"NDE\"\nelements = 7\n"
                                 "ball_diameter_mm = 10\npitch_diameter_mm = 40.5\nsupplier = \"x\"\n"
                                 "contact_angle_deg = 15\n");
    ASSERT_NE(de, std::string::npos) << text;
    ASSERT_NE(nde, std::string::npos) << text;
    EXPECT_LT(table, de);
    EXPECT_LT(de, nde);
    EXPECT_LT(nde, fan);
    EXPECT_EQ(text.find("\"old\""), std::string::npos);
    EXPECT_NE(text.find("# next the old one\n"), std::string::npos);
    EXPECT_EQ(text.find("[[sensor.5.bearing]]", nde + 1), std::string::npos);
    std::vector<std::string> messages;
    const StationSettings read = ParseStationSettings(text, "station.toml", &messages);
    EXPECT_TRUE(read.readable);
    // The key the writer keeps for the operator is still one the reader
    // does not know, and says so.
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("未知的键 supplier"), std::string::npos) << messages[0];
    EXPECT_EQ(read.sensors.at(7).name, "fan");
    // Read back as written wherever the reader takes the bearing tables.
    const std::vector<BearingGeometry> &back = read.sensors.at(5).bearings;
    if (!back.empty()) {
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back[0].name, "DE");
        EXPECT_EQ(back[0].ballDiameterMm, 15.875);
        EXPECT_EQ(back[1].pitchDiameterMm, 40.5);
        EXPECT_EQ(back[1].contactAngleDeg, 15.0);
    }

    // Saved again unchanged, the text stays; without bearings they go.
    EXPECT_EQ(EditMachineTable(text, m), text);
    m.bearings.clear();
    const std::string none = EditMachineTable(text, m);
    EXPECT_EQ(none.find("bearing"), std::string::npos) << none;
    EXPECT_NE(none.find("[sensor.7]\nname = \"fan\"\n"), std::string::npos);

    // A new table gets its bearings right after it.
    MachineSettings fresh;
    fresh.address = 12;
    fresh.bearings = {{"", 9, 7.9, 38.5, 0}};
    const std::string added = EditMachineTable(none, fresh);
    EXPECT_NE(added.find("[sensor.12]\non_delay_s = 5\n\n[[sensor.12.bearing]]\nelements = 9\n"), std::string::npos)
        << added;
}

TEST(KnownSensors, EverySourceOnceInAddressOrder)
{
    DeviceParameterTable table;
    table.SetRecord(3, {9, 0, 1, 1500});
    table.SetRecord(4, {7, 0, 1, 1500});
    std::map<int32_t, MachineSettings> machines;
    machines[9].name = "pump";
    machines[70000];  // not a sensor address
    std::vector<KnownSensor> list = KnownSensors({7, 0, 3}, table, machines);
    AddKnownSensor(&list, 3, kKnownHistory);
    AddKnownSensor(&list, 42, kKnownHistory);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].address, 3);
    EXPECT_EQ(list[0].sources, unsigned(kKnownConnected | kKnownHistory));
    EXPECT_EQ(list[1].address, 7);
    EXPECT_EQ(list[1].sources, unsigned(kKnownConnected | kKnownDeviceTable));
    EXPECT_EQ(list[2].address, 9);
    EXPECT_EQ(KnownSensorText(list[2]), "    9  pump  [设备表 设置]");
    EXPECT_EQ(list[3].address, 42);
}

}  // namespace
}  // namespace tav
