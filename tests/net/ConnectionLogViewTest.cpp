#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>

#include <memory>

#include "net/ConnectionLogView.h"
#include "net/EventSink.h"

using namespace tav;

namespace {
// The part of the main window that the log lives in: edit 1126 beneath the
// X spectrum frame 1025, and the two buttons, all created hidden but 1025.
struct Window {
    Window()
    {
        auto make = [&](QWidget *w, const char *id) {
            w->setObjectName(id);
            w->setGeometry(10, 10, 300, 200);
            return w;
        };
        edit = static_cast<QPlainTextEdit *>(make(new QPlainTextEdit(&dialog), "1126"));
        frame = make(new QWidget(&dialog), "1025");
        open = static_cast<QPushButton *>(make(new QPushButton(QStringLiteral("打开连接信息"), &dialog), "1144"));
        close = static_cast<QPushButton *>(make(new QPushButton(QStringLiteral("关闭连接信息"), &dialog), "1143"));
        edit->hide();
        open->hide();
        close->hide();
        dialog.show();
    }
    QDialog dialog;
    QPlainTextEdit *edit;
    QWidget *frame;
    QPushButton *open, *close;
};

int argc = 1;
char name[] = "test";
char *argv[] = {name, nullptr};
}  // namespace

TEST(ConnectionLogView, ButtonsUncoverAndCoverTheLogThatFillsMeanwhile)
{
    QApplication app(argc, argv);
    auto table = std::make_unique<ConnectionTable>();
    Window w;
    ConnectionLogView view(&w.dialog, *table);
    EXPECT_TRUE(w.open->isVisible());
    EXPECT_TRUE(w.close->isVisible());

    view.OnConnectionEvent(0, kEventEstablished);
    view.OnConnectionEvent(0, kEventPeerClosed);
    view.OnLogLine(QStringLiteral("连接0的录制缓冲区分配失败，该连接不录制数据"));
    QStringList lines = w.edit->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("建立连接,第1次, 时间"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("sock关闭,第1次,ret=0 时间"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("连接0的录制缓冲区分配失败"))) << lines[2].toStdString();

    w.open->click();
    EXPECT_FALSE(w.frame->isVisible());
    EXPECT_TRUE(w.edit->isVisible());
    w.close->click();
    EXPECT_TRUE(w.frame->isVisible());

    for (size_t i = 0; i < ConnectionLog::kMaxLines + 10; ++i)
        view.OnConnectionEvent(-1, kEventTransientError);
    EXPECT_EQ(w.edit->blockCount(), int(ConnectionLog::kMaxLines));
    EXPECT_TRUE(w.edit->document()->lastBlock().text().startsWith(QStringLiteral("正常继续,第10010次,ret=-1")));
}
