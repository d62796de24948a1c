// The real main window with simulated sensors on loopback: the live spectra
// of sensors at several sampling frequencies, read off the plot as the
// operator reads it, and the connection list and fields when sensors leave.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPalette>
#include <QTest>
#include <cmath>
#include <memory>

#include "core/plotting/PlotGeometry.h"
#include "sim/SimSensor.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"

namespace {

struct LiveSelectionFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    std::vector<std::unique_ptr<tav::sim::SimSensor>> sensors;

    void SetUp() override
    {
        tav::ui::SetMessageHook([](const QString &) {});
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        std::vector<std::string> messages;
        ASSERT_EQ(station->Start(&messages), 0);
        dlg->Initialise(messages);
        dlg->show();
    }
    void TearDown() override
    {
        for (auto &s : sensors)
            s->Stop();
        dlg->Shutdown();
        sink.Detach();
        tav::ui::SetMessageHook(nullptr);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 15000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms)
            QTest::qWait(20);
        return cond();
    }
    // A sensor with a 1 g sine at 1 kHz on X, connected into `slot`.
    tav::sim::SimSensor *Connect(uint32_t address, double fs, int slot)
    {
        tav::sim::SensorConfig cfg;
        cfg.port = uint16_t(station->Port());
        cfg.address = address;
        cfg.fs = fs;
        cfg.quiet = true;
        cfg.axes = {};
        cfg.axes[0].sines.push_back({false, 1.0, 1000.0, 1.0, 0.0});
        sensors.push_back(std::make_unique<tav::sim::SimSensor>(cfg));
        sensors.back()->Start();
        EXPECT_TRUE(Spin([&] { return station->Table().records[slot].sensorAddress.load() == address; }))
            << "sensor " << address << " in slot " << slot;
        return sensors.back().get();
    }
    QComboBox *List() { return dlg->findChild<QComboBox *>("1001"); }
    QString Text(int id) { return dlg->findChild<QLineEdit *>(QString::number(id))->text(); }
    // Opens and closes the drop-down list, as the operator glancing at it.
    void GlanceAtList()
    {
        List()->showPopup();
        QCoreApplication::processEvents();
        List()->hidePopup();
    }
    // Picks the line of `slot` in the drop-down list.
    void Show(int slot)
    {
        List()->showPopup();
        List()->hidePopup();
        for (int i = 0; i < List()->count(); ++i)
            if (List()->itemText(i).trimmed().section(' ', 0, 0).toInt() == slot) {
                List()->setCurrentIndex(i);
                emit List()->activated(i);
            }
        ASSERT_EQ(station->Table().selectedConnection.load(), slot);
    }

    // The X spectrum as the operator reads it, at 1000 Hz per division.
    struct Peak {
        double hertz = -1;   // by the plot's ten divisions of 10 kHz
        float value = 0;     // g
        int lines = 0;
        float aboveNyquist = 0;  // largest line at or above fs/2
    };
    Peak DataPeak(double fs)
    {
        tav::PlotData &x = station->Plots().spectrum[0];
        std::lock_guard lock(x.mutex);
        Peak p;
        p.lines = x.pointCount;
        int best = 1;
        for (int j = 1; j < x.pointCount; ++j) {
            if (x.samples[j] > x.samples[best])
                best = j;
            if (j * 10000.0 / x.pointCount >= fs / 2 + 10)
                p.aboveNyquist = std::max(p.aboveNyquist, x.samples[j]);
        }
        p.hertz = best * 10000.0 / x.pointCount;
        p.value = x.samples[best];
        return p;
    }
    // Pixel column of the trace's highest point in the drawn X spectrum, in
    // divisions from the left edge of the plot area.
    double PixelPeakDivisions()
    {
        tav::CWaveDisp &plot = dlg->Plot(3);
        const QSize size = plot.Frame()->size();
        const QImage &image = plot.Render(size.width(), size.height());
        const tav::PlotArea area = tav::ComputeArea(size.width(), size.height(), plot.rightMargin, 1,
                                                    tav::HorizontalValue(tav::kSpectrumMode, plot.xScaleIndex));
        int bestColumn = -1, bestRow = area.bottom;
        for (int x = area.left + 2; x < area.right; ++x)
            for (int y = area.TopRow(); y < bestRow; ++y)
                if (image.pixel(x, y) == qRgb(0, 0, 255)) {
                    bestRow = y;
                    bestColumn = x;
                    break;
                }
        return double(bestColumn - area.left) / (area.Width() / 10);
    }
    // Waits until the X spectrum of `lines` lines has its largest line at
    // 1 kHz, in the data and on screen, with `value` g (within 15 %) unless
    // value is 0.
    bool WaitForPeakAtOneKilohertz(double fs, int lines, float value, Peak *seen)
    {
        return Spin([&] {
            *seen = DataPeak(fs);
            const bool level = value <= 0 || std::fabs(seen->value - value) < 0.15f * value;
            // Laid out for this sensor's rate: nothing past its Nyquist frequency.
            return std::fabs(seen->hertz - 1000.0) < 10.0 && level && seen->value > 0.2f &&
                   seen->aboveNyquist == 0.0f && seen->lines == lines &&
                   std::fabs(PixelPeakDivisions() - 1.0) < 0.06;
        });
    }
};

}  // namespace

// Below 20 kHz the spectrum never refreshed (the window waited for ten
// blocks, the processing thread reset the count at five), and its lines were
// spread as if they reached 10 kHz when they stopped at fs/2.
TEST_F(LiveSelectionFixture, SpectraOfSensorsAtEveryRateFollowTheirSineAtItsFrequency)
{
    const double rates[3] = {10000, 5000, 26667};
    tav::sim::SimSensor *sensor[3];
    for (int i = 0; i < 3; ++i)
        sensor[i] = Connect(uint32_t(100 + i), rates[i], i);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(rates[i]);
        Show(i);
        // Lines to 10 kHz: the whole second below 20 kHz (16384 and 8192
        // points), half a second of 16384 points at 26667 Hz.
        const int lines[3] = {16384, 16384, 6143};
        Peak first;
        ASSERT_TRUE(WaitForPeakAtOneKilohertz(rates[i], lines[i], 0, &first))
            << "peak at " << first.hertz << " Hz of " << first.value << " g, " << first.lines << " lines, "
            << PixelPeakDivisions() << " divisions";
        // Until the one-second window holds only this sensor's samples the
        // line is still growing; its level is read once it is full.
        QTest::qWait(1500);
        first = DataPeak(rates[i]);

        // The spectrum follows the machine.
        sensor[i]->SetGain(0.5);
        Peak half;
        EXPECT_TRUE(WaitForPeakAtOneKilohertz(rates[i], lines[i], first.value * 0.5f, &half))
            << first.value << " g, then " << half.value << " g at " << half.hertz << " Hz";
        sensor[i]->SetGain(1.0);
    }
}

// After a lower slot left, the list named another sensor than the one shown;
// after the shown sensor left, its last values stayed on as if live.
TEST_F(LiveSelectionFixture, ListNamesTheShownSensorAndADepartedSensorLeavesNothingBehind)
{
    tav::sim::SimSensor *first = Connect(21, 26667, 0);
    tav::sim::SimSensor *second = Connect(22, 10000, 1);
    ASSERT_TRUE(Spin([&] { return station->Table().selectedConnection.load() == 0; }));
    Show(1);
    ASSERT_TRUE(Spin([&] { return Text(1027) == "10000.00"; }));

    first->Stop();
    ASSERT_TRUE(Spin([&] { return !station->Table().records[0].InUse(); }));
    GlanceAtList();
    EXPECT_EQ(List()->currentText(), "  1 : 地址:22");
    EXPECT_EQ(station->Table().selectedConnection.load(), 1);

    second->Stop();
    ASSERT_TRUE(Spin([&] { return !station->Table().records[1].InUse(); }));
    EXPECT_TRUE(Spin([&] { return Text(1027).isEmpty(); })) << Text(1027).toStdString();
    for (int id : {1019, 1020, 1021, 1022, 1023, 1024, 1028, 1029, 1004, 1005})
        EXPECT_TRUE(Text(id).isEmpty()) << id << " " << Text(id).toStdString();
    EXPECT_EQ(List()->currentIndex(), -1);
    EXPECT_EQ(station->Table().selectedConnection.load(), -1);

    // A sensor that comes back is shown by the next tick, with its own values.
    Connect(23, 26667, 0);
    EXPECT_TRUE(Spin([&] { return Text(1027) == "26667.00"; })) << Text(1027).toStdString();
    GlanceAtList();
    EXPECT_EQ(List()->currentText(), "  0 : 地址:23");

    // A replay keeps the slot it shows, whoever leaves it.
    station->Table().acquisitionState = 2;
    sensors.back()->Stop();
    ASSERT_TRUE(Spin([&] { return Text(1000) == "0"; }));
    QTest::qWait(50);
    EXPECT_EQ(station->Table().selectedConnection.load(), 0);
    station->Table().acquisitionState = 0;
}

// The shown sensor's machine: the severity band velocity and its zone beside
// each axis's RMS, the RMS field in the zone's colour, the zone gone with the
// class, and the machine's name in the list's tooltips. The list's own texts
// stay as they are.
TEST_F(LiveSelectionFixture, BandVelocityZoneColourAndMachineNameOfTheShownSensor)
{
    tav::StationSettings settings;
    tav::MachineSettings m;
    m.address = 31;
    m.name = "3号泵 电机端";
    m.isoClass = tav::IsoClass::kGroup2Rigid;  // A/B 1.4, B/C 2.8, C/D 4.5
    m.onDelayS = 60;  // the zones alone, no alarm within the test
    settings.sensors[31] = m;
    station->ApplyAlarmSettings(settings);

    tav::sim::SensorConfig cfg;
    cfg.port = uint16_t(station->Port());
    cfg.address = 31;
    cfg.quiet = true;
    cfg.axes = {};
    std::string error;
    ASSERT_TRUE(tav::sim::ParseAxisSignal("80hz=1", &cfg.axes[0], &error)) << error;  // 13.8 mm/s on X only
    sensors.push_back(std::make_unique<tav::sim::SimSensor>(cfg));
    sensors.back()->Start();
    ASSERT_TRUE(Spin([&] { return Text(2126) == "D" && Text(2127) == "A"; }))
        << Text(2126).toStdString() << " " << Text(2127).toStdString();
    EXPECT_NEAR(Text(2123).toDouble(), 13.8, 0.7) << Text(2123).toStdString();
    EXPECT_NEAR(Text(2124).toDouble(), 0.0, 0.05);
    auto base = [&](int id) {
        return dlg->findChild<QLineEdit *>(QString::number(id))->palette().color(QPalette::Base);
    };
    EXPECT_EQ(base(1019), QColor(0xff5050));  // X RMS, zone D
    EXPECT_EQ(base(1021), QColor(0x50c050));  // Y RMS, zone A
    EXPECT_EQ(base(2126), QColor(0xff5050));
    const QColor plain = base(1020);  // a peak field never takes a colour
    EXPECT_NE(plain, QColor(0xff5050));

    GlanceAtList();
    ASSERT_EQ(List()->count(), 1);
    EXPECT_EQ(List()->itemText(0), "  0 : 地址:31");
    EXPECT_TRUE(List()->itemData(0, Qt::ToolTipRole).toString().contains("3号泵 电机端"));
    EXPECT_TRUE(List()->toolTip().contains("3号泵 电机端")) << List()->toolTip().toStdString();

    // Without a class the zone reads "—" and the field is plain again.
    m.isoClass = tav::IsoClass::kNone;
    m.name = "3号泵";
    settings.sensors[31] = m;
    station->ApplyAlarmSettings(settings);
    ASSERT_TRUE(Spin([&] { return Text(2126) == "—"; })) << Text(2126).toStdString();
    EXPECT_EQ(base(1019), plain);
    EXPECT_FALSE(Text(2123).isEmpty());
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), List()->mapToGlobal(QPoint(2, 2)));
    QCoreApplication::sendEvent(List(), &tip);
    EXPECT_EQ(List()->toolTip(), "地址:31  3号泵");
}
