// The main window's layout on the offscreen platform: at its smallest size
// and on a large screen no control covers another or a plot, and every
// control keeps the room it needs to be read.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QSlider>
#include <QTest>

#include "ui/common/PlotFrame.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"

namespace {

struct Item {
    QWidget *widget;
    QRect rect;  // in window coordinates
    QString Name() const
    {
        return widget->objectName() + " \"" + widget->accessibleName() + "\" " +
               QString("%1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
    }
};

struct LayoutFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;

    void SetUp() override
    {
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        dlg->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override { dlg->Shutdown(); }

    void ResizeTo(QSize size)
    {
        dlg->resize(size);
        QCoreApplication::processEvents();
        dlg->layout()->activate();
    }
    // Every visible control the operator reads or works, and the plot frames.
    std::vector<Item> Controls() const
    {
        std::vector<Item> items;
        for (QWidget *w : dlg->findChildren<QWidget *>()) {
            if (!w->isVisibleTo(dlg.get()))
                continue;
            const bool control = qobject_cast<QAbstractButton *>(w) || qobject_cast<QComboBox *>(w) ||
                                 qobject_cast<QLineEdit *>(w) || qobject_cast<QSlider *>(w) ||
                                 qobject_cast<QLabel *>(w) || qobject_cast<tav::PlotFrame *>(w);
            // A combo's own line edit or a group's title are parts of it.
            if (!control || qobject_cast<QComboBox *>(w->parentWidget()))
                continue;
            items.push_back({w, QRect(w->mapTo(dlg.get(), QPoint(0, 0)), w->size())});
        }
        return items;
    }
    void ExpectNothingOverlaps(const char *where)
    {
        const std::vector<Item> items = Controls();
        int frames = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            const Item &a = items[i];
            frames += qobject_cast<tav::PlotFrame *>(a.widget) != nullptr;
            EXPECT_TRUE(dlg->rect().contains(a.rect)) << where << ": outside the window: " << a.Name().toStdString();
            // Whole: never squeezed below the room its text needs.
            const QSize need = a.widget->minimumSizeHint();
            EXPECT_GE(a.rect.height(), need.height()) << where << ": " << a.Name().toStdString();
            if (!qobject_cast<tav::PlotFrame *>(a.widget)) {
                EXPECT_GE(a.rect.width(), need.width()) << where << ": " << a.Name().toStdString();
            }
            for (size_t j = i + 1; j < items.size(); ++j)
                EXPECT_FALSE(a.rect.intersects(items[j].rect))
                    << where << ": " << a.Name().toStdString() << " overlaps " << items[j].Name().toStdString();
        }
        EXPECT_EQ(frames, 6) << where;
    }
};

}  // namespace

// At 1280 x 720 the rows of quantity buttons, pause buttons and value fields
// lay over the bottom of their waveform plots.
TEST_F(LayoutFixture, NoControlCoversAnotherAtTheSmallestSizeOrOnALargeScreen)
{
    const QSize smallest = dlg->minimumSize();
    EXPECT_GE(smallest.width(), 1280);
    EXPECT_GE(smallest.height(), 720);
    ResizeTo(QSize(200, 200));  // the window keeps its minimum
    EXPECT_EQ(dlg->size(), smallest);
    ExpectNothingOverlaps("smallest");

    ResizeTo(QSize(1920, 1080));
    ExpectNothingOverlaps("1920x1080");
    // The plots take the room a large screen gives.
    auto *waveX = dlg->findChild<tav::PlotFrame *>("1006");
    ASSERT_NE(waveX, nullptr);
    EXPECT_GT(waveX->height(), 200);
}
