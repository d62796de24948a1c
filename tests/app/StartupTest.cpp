// Start-up as the operator meets it: the messages at a busy port, Qt's own
// texts in Chinese, and the station program on a display that does not answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "core/net/Server.h"
#include "core/station/CommandLine.h"
#include "sim/SimSensor.h"
#include "support/TestPeers.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/common/Translations.h"
#include "ui/main/TavenorDlg.h"

namespace {

QList<QMessageBox *> VisibleBoxes(QWidget *parent)
{
    QList<QMessageBox *> boxes;
    for (auto *box : parent->findChildren<QMessageBox *>())
        if (box->isVisible())
            boxes << box;
    return boxes;
}

bool Spin(const std::function<bool()> &cond, int ms = 15000)
{
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms)
        QTest::qWait(20);
    return cond();
}

// True when nothing answers as X display :n, on its file or abstract socket.
bool DisplayIsDead(int n)
{
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
    if (QFile::exists(QString::fromStdString(path)))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    bool answered = ::connect(fd, reinterpret_cast<sockaddr *>(&addr),
                              socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size())) == 0;
    ::close(fd);
    return !answered;
}

}  // namespace

TEST(Startup, PortTakenShowsTheCauseFirstWithChineseButtons)
{
    ASSERT_TRUE(tav::ui::InstallQtTranslations(*qApp)) << "qt6-translations-l10n";
    tav::test::RecordingEventSink other;
    auto table = std::make_unique<tav::ConnectionTable>();
    tav::DrainHandler handler;
    tav::Server holder(*table, other, handler);
    ASSERT_EQ(holder.OpenServer(0, true, nullptr), 0);

    tav::ui::QtEventSink sink;
    tav::StationOptions options;
    options.port = holder.Port();
    // A folder of its own: device records or settings another run left in
    // the shared temporary folder would open boxes of their own.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    options.startFolder = folder.path().toStdString();
    tav::Station station(options, sink);
    CTavenorDlg dlg(station);
    sink.SetTarget(&dlg);
    std::vector<std::string> messages;
    EXPECT_EQ(station.Start(&messages), -1);
    dlg.Initialise(messages);
    dlg.show();
    QTest::qWait(50);

    // Regression: both boxes opened at once and the generic one covered the cause.
    auto boxes = VisibleBoxes(&dlg);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text(), "网络初始化错误，端口被占用，关闭程序重新运行");
    ASSERT_NE(boxes[0]->button(QMessageBox::Ok), nullptr);
    EXPECT_EQ(boxes[0]->button(QMessageBox::Ok)->text(), "确定");
    boxes[0]->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(Spin([&] {
        auto next = VisibleBoxes(&dlg);
        return next.size() == 1 && next[0]->text() == "与界面通信SOCKET产生错误";
    }));
    VisibleBoxes(&dlg)[0]->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(Spin([&] { return VisibleBoxes(&dlg).isEmpty(); }));
    EXPECT_TRUE(dlg.isVisible());
    dlg.Shutdown();
    sink.Detach();
}

TEST(Startup, ADeadDisplayServesOnOffscreenAndSaysSo)
{
    int display = -1;
    for (int n = 97; n < 200 && display < 0; ++n)
        if (DisplayIsDead(n))
            display = n;
    ASSERT_GE(display, 0);
    QTemporaryDir folder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
        env.remove(QString::fromLatin1(name));
    env.insert("DISPLAY", QStringLiteral(":%1").arg(display));
    QProcess station;
    station.setProcessEnvironment(env);
    station.setWorkingDirectory(folder.path());
    station.setProcessChannelMode(QProcess::SeparateChannels);
    station.start(QStringLiteral(TAVENOR_EXE), {"--port=0"});
    ASSERT_TRUE(station.waitForStarted());

    QString out;
    int port = 0;
    const QRegularExpression listening("listening on port (\\d+)");
    ASSERT_TRUE(Spin([&] {
        out += QString::fromLocal8Bit(station.readAllStandardOutput());
        auto m = listening.match(out);
        port = m.hasMatch() ? m.captured(1).toInt() : 0;
        return port > 0 || station.state() == QProcess::NotRunning;
    })) << out.toStdString();
    ASSERT_GT(port, 0) << out.toStdString() << station.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains(tav::kNoDisplayNotice)) << out.toStdString();

    // It serves: a sensor connects and streams until the station is stopped.
    tav::sim::SensorConfig c;
    c.port = uint16_t(port);
    c.quiet = true;
    tav::sim::SimSensor sensor(c);
    sensor.Start();
    EXPECT_TRUE(Spin([&] { return sensor.Connected() && sensor.Stats().packetsSent.load() > 100; }));
    sensor.Stop();
    station.terminate();
    ASSERT_TRUE(station.waitForFinished(15000));
    out += QString::fromLocal8Bit(station.readAllStandardOutput());
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 0);
    EXPECT_TRUE(out.contains("tavenor: stopped")) << out.toStdString();
    EXPECT_TRUE(QDir(folder.path()).exists("data"));
}
