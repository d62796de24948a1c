// The main window's "连接选择" list and the shown connection: which slot's
// data are on screen, its peer fields and the tooltips naming its sensor.
#include "ui/main/TavenorDlg.h"

#include <arpa/inet.h>

#include <QLabel>

#include "ui/common/ConnectionLine.h"
#include "ui/main/LiveView.h"

bool CTavenorDlg::ConnectionListStale()
{
    for (int slot = 0; slot < tav::kSlotCount; ++slot)
        if (tav::ListedAddress(station_.Table().records[slot]) != listShows_[slot])
            return true;
    return false;
}

void CTavenorDlg::RebuildConnectionList()
{
    auto &table = station_.Table();
    const int shown = table.selectedConnection.load();
    connectionList_->clear();
    int shownLine = -1;
    for (int slot = 0; slot < tav::kSlotCount; ++slot) {
        const auto &rec = table.records[slot];
        const int64_t address = listShows_[slot] = tav::ListedAddress(rec);
        if (address == tav::kSlotFree)
            continue;
        if (slot == shown)
            shownLine = connectionList_->count();
        connectionList_->addItem(tav::ui::ConnectionLine(slot, rec));
        connectionList_->setItemData(connectionList_->count() - 1,
                                     address >= 0 ? SensorToolTip(int32_t(address)) : QString(), Qt::ToolTipRole);
    }
    // The list holds only connected slots, so a line's index moves whenever
    // a lower slot comes or goes: the line is found by its slot number, and
    // the closed list always names the sensor whose data are on screen. A
    // replay on a live sensor's slot shows another sensor's data: then no
    // line is current, and the list's placeholder names the replay.
    if (table.acquisitionState.load() == 2 && !connectionList_->placeholderText().isEmpty())
        shownLine = -1;
    connectionList_->setCurrentIndex(shownLine);
    ShowSensorToolTip();
}

void CTavenorDlg::ShowSensorToolTip()
{
    // Names change when station.toml does, so the closed list's tooltip is
    // taken afresh whenever it is about to show.
    const int slot = station_.Table().selectedConnection.load();
    const bool shown = slot >= 0 && slot < tav::kSlotCount && station_.Table().records[slot].InUse();
    connectionList_->setToolTip(
        shown ? SensorToolTip(int32_t(station_.Table().records[slot].sensorAddress.load())) : QString());
}

QString CTavenorDlg::SensorToolTip(int32_t address) const
{
    const std::string &name = marks_.Name(address);
    QString tip = QStringLiteral("地址:%1").arg(address);
    if (!name.empty())
        tip += QStringLiteral("  ") + QString::fromStdString(name);
    return tip;
}

void CTavenorDlg::SelectConnection(int slot)
{
    station_.Table().selectedConnection = slot;
    ShowPeer(slot);
    ShowSensorToolTip();
}

void CTavenorDlg::OnConnectionReleased(int slot)
{
    auto &table = station_.Table();
    // A replay feeds the shown slot itself and keeps it.
    if (table.acquisitionState.load() == 2)
        return;
    // The shown sensor has gone: show nothing rather than its last values as
    // if they were live; the next tick shows the lowest connected slot, if
    // any. This is done here, on the window thread, and not by the receive
    // thread that released the slot: the list, the peer fields and the
    // tick's choice of a slot all live on this thread, so nothing can choose
    // a slot between the test and the clearing. The compare-exchange leaves
    // alone a selection that has already moved to another slot.
    int expected = slot;
    if (!table.selectedConnection.compare_exchange_strong(expected, -1))
        return;
    connectionList_->setCurrentIndex(-1);
    connectionList_->setToolTip(QString());
    ipEdit_->clear();
    portEdit_->clear();
    liveView_->RefreshNumbers();  // empty while nothing is selected
}

void CTavenorDlg::ShowReplaySource(const QString &text, const QString &toolTip)
{
    replaySource_->setText(text);
    replaySource_->setToolTip(toolTip);
    replaySource_->setVisible(!text.isEmpty());
    for (QWidget *w : peerRows_)
        w->setVisible(text.isEmpty());
}

void CTavenorDlg::ShowPeer(int slot)
{
    auto &rec = station_.Table().records[slot];
    sockaddr_in peer;
    {
        std::lock_guard lock(rec.infoMutex);
        peer = rec.peer;
    }
    portEdit_->setText(QString::asprintf("%d", int(ntohs(peer.sin_port))));
    const auto *b = reinterpret_cast<const uint8_t *>(&peer.sin_addr.s_addr);
    ipEdit_->setText(QString::asprintf("%d.%d.%d.%d", b[0], b[1], b[2], b[3]));
}
