// The waterfall panel on its own on the offscreen platform, driven through
// its controls: rows of a simulated sensor arrive while it is shown, the
// value under the mouse reads the tone of the row it points at, freezing
// holds the choices, and both exports write files that read back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <cmath>
#include <fstream>
#include <memory>
#include <numbers>
#include <unistd.h>

#include "ui/analysis/WaterfallPanel.h"
#include "ui/analysis/WaterfallPlot.h"
#include "ui/common/Controls.h"

namespace {

using tav::ui::FindControl;
using tav::ui::WaterfallPanel;

constexpr float kFs = 25600.0f;

struct PanelFixture : ::testing::Test {
    std::unique_ptr<tav::ConnectionTable> table = std::make_unique<tav::ConnectionTable>();
    std::unique_ptr<tav::LivePlots> plots = std::make_unique<tav::LivePlots>();
    std::string folder = ::testing::TempDir() + "/waterfall-panel-" + std::to_string(getpid());
    std::unique_ptr<WaterfallPanel> panel;
    std::vector<float> values;
    long row = 0;

    void SetUp() override
    {
        ::mkdir(folder.c_str(), 0777);
        table->selectedConnection = 0;
        (*table)[0].sensorAddress = 5;
        panel = std::make_unique<WaterfallPanel>(*table, *plots, folder);
        panel->resize(900, 520);
    }
    // `seconds` of a 250 Hz tone of amplitude 0.3 g on X.
    void Feed(int seconds)
    {
        values.resize(static_cast<size_t>(kFs));
        const float *src[3][3];
        for (auto &axis : src)
            for (auto &q : axis)
                q = values.data();
        for (int s = 0; s < seconds; ++s) {
            for (float &v : values) {
                v = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 250.0 * row / kFs));
                ++row;
            }
            plots->capture.Write(0, kFs, src, static_cast<int>(values.size()));
        }
    }
    uint64_t Rows() const { return panel->Worker().Store().Rows(); }
};

TEST_F(PanelFixture, LiveRowsReadUnderTheMouseAndFreezingHoldsTheChoices)
{
    EXPECT_FALSE(panel->Running());
    panel->show();  // showing starts it
    ASSERT_TRUE(panel->Running());
    ASSERT_TRUE(QTest::qWaitFor([&] { return plots->capture.Active(); }, 5000));
    Feed(3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() >= 3 && panel->View().Picture().Next() >= 3; }, 5000));
    auto *status = FindControl<QLabel>(panel.get(), WaterfallPanel::kStatusLabel);
    EXPECT_TRUE(status->text().contains(QStringLiteral("传感器 5  X轴"))) << status->text().toStdString();

    // The column that holds 250 Hz, in the newest row on top.
    tav::ui::WaterfallPlot &view = panel->View();
    const tav::analysis::WaterfallArea a = tav::ui::WaterfallPlot::Area(view.width(), view.height());
    const int lines = 1281, line = 320;  // 0 .. 1000 Hz, 0.78125 Hz apart; 250 Hz
    int x = -1;
    for (int c = 0; c < a.Width() && x < 0; ++c) {
        int from, to;
        tav::analysis::WaterfallPicture::ColumnLines(c, a.Width(), lines, from, to);
        if (from <= line && line < to)
            x = a.left + c;
    }
    QTest::mouseMove(&view, QPoint(x, a.top + 1));
    const QString text = view.ReadoutAt(x, a.top + 1);
    ASSERT_TRUE(text.contains(QStringLiteral(" Hz  "))) << text.toStdString();
    const double hz = text.section(QStringLiteral("  "), 1, 1).section(' ', 0, 0).toDouble();
    EXPECT_NEAR(hz, 250.0, 2.0) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral(" g"))) << text.toStdString();
    EXPECT_NEAR(text.section(QStringLiteral("  "), 2, 2).section(' ', 0, 0).toDouble(), 0.3, 0.01);
    EXPECT_TRUE(view.ReadoutAt(a.left - 5, a.top + 1).isEmpty());
    FindControl<QComboBox>(panel.get(), WaterfallPanel::kAmplitudeList)->setCurrentIndex(1);
    EXPECT_TRUE(view.ReadoutAt(x, a.top + 1).endsWith(QStringLiteral(" dB")));

    auto *freeze = FindControl<QPushButton>(panel.get(), WaterfallPanel::kFreezeButton);
    QTest::mouseClick(freeze, Qt::LeftButton);
    EXPECT_TRUE(panel->Worker().CurrentRequest().frozen);
    EXPECT_EQ(freeze->text(), QStringLiteral("解冻"));
    auto *axis = FindControl<QComboBox>(panel.get(), WaterfallPanel::kAxisList);
    EXPECT_FALSE(axis->isEnabled());
    EXPECT_FALSE(FindControl<QSpinBox>(panel.get(), WaterfallPanel::kSpanBox)->isEnabled());
    panel->SetAxis(2);  // the analysis window's axis does not move a frozen picture
    EXPECT_EQ(axis->currentIndex(), 0);
    panel->Poll();
    EXPECT_TRUE(status->text().contains(QStringLiteral("已冻结")));
    QTest::mouseClick(freeze, Qt::LeftButton);
    EXPECT_FALSE(panel->Worker().CurrentRequest().frozen);
    EXPECT_TRUE(axis->isEnabled());

    panel->hide();  // hiding stops it and lets go of the capture
    EXPECT_FALSE(panel->Running());
    EXPECT_FALSE(plots->capture.Active());
}

TEST_F(PanelFixture, ExportsWriteAPictureAndATableThatReadBack)
{
    panel->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return plots->capture.Active(); }, 5000));
    Feed(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() >= 2; }, 5000));
    panel->Stop();  // the rows stay; none arrive during the exports
    QString suggested;
    const std::string png = folder + "/w.png", csv = folder + "/w.csv";
    panel->SetFileChooser([&](QWidget *, const QString &s, const QString &) {
        suggested = s;
        return QString::fromStdString(s.endsWith(QStringLiteral(".png")) ? png : csv);
    });
    QTest::mouseClick(FindControl<QPushButton>(panel.get(), WaterfallPanel::kImageButton), Qt::LeftButton);
    EXPECT_TRUE(suggested.startsWith(QString::fromStdString(folder) + QStringLiteral("/waterfall_0005_X_")))
        << suggested.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel->ExportBusy(); }, 10000));
    ASSERT_TRUE(panel->LastExportOk());
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(png), "PNG"));
    EXPECT_EQ(image.size(), panel->View().size());
    EXPECT_NE(access((png + ".part").c_str(), F_OK), 0);

    QTest::mouseClick(FindControl<QPushButton>(panel.get(), WaterfallPanel::kCsvButton), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel->ExportBusy(); }, 10000));
    ASSERT_TRUE(panel->LastExportOk());
    EXPECT_EQ(panel->LastExport(), QString::fromStdString(csv));
    std::ifstream in(csv);
    std::string line;
    int lines = 0;
    size_t columns = 0;
    while (std::getline(in, line)) {
        if (lines++ == 0)
            columns = static_cast<size_t>(std::count(line.begin(), line.end(), ','));
        else
            EXPECT_EQ(static_cast<size_t>(std::count(line.begin(), line.end(), ',')), columns);
    }
    EXPECT_EQ(lines, 1 + static_cast<int>(Rows()));
    EXPECT_EQ(columns, 1281u);  // 0 .. 1000 Hz, 0.78125 Hz apart
    panel->Poll();
    EXPECT_TRUE(FindControl<QLabel>(panel.get(), WaterfallPanel::kStatusLabel)->text().contains(QStringLiteral("已导出")));
    std::remove(png.c_str());
    std::remove(csv.c_str());
}

}  // namespace
