#include "ui/config/DeviceParaSet.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTime>
#include <QVBoxLayout>
#include <cmath>
#include <filesystem>

#include "core/alarm/Zones.h"
#include "core/base/TextInput.h"
#include "core/history/HistoryQueryThread.h"
#include "core/model/AlarmTypes.h"
#include "core/model/BearingDefects.h"
#include "core/station/Station.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/ScreenFit.h"

using tav::ui::FindControl;
using tav::ui::ShowMessage;
using tav::ui::Tag;

namespace {

QString Utf8(const std::string &s) { return QString::fromStdString(s); }
std::string Std(const QString &s) { return s.toStdString(); }

class HistorySensorsEvent : public QEvent {
public:
    static QEvent::Type Kind()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    explicit HistorySensorsEvent(std::unique_ptr<tav::HistoryAnswer> a) : QEvent(Kind()), answer(std::move(a)) {}
    std::unique_ptr<tav::HistoryAnswer> answer;
};

const char *const kClassHelp =
    "ISO 10816-3:2009 振动烈度等级。第1组：300 kW 以上至 50 MW 的机器；第2组：15 kW 至 300 kW 的机器。"
    "刚性基础：机器与基础的最低固有频率比主激励频率（通常为转速频率）高 25% 以上，否则为柔性基础。"
    "速度为 10 Hz–1 kHz 频带内的速度有效值 (mm/s)。等级的 B/C 边界是默认预警限值，C/D 边界是默认危险限值；"
    "填写的限值优先。限值留空表示不设限值。";

}  // namespace

CDeviceParaSet::CDeviceParaSet(tav::Station &station, QWidget *parent) : QDialog(parent), station_(station)
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("设备参数配置"));
    BuildLayout();
}

CDeviceParaSet::~CDeviceParaSet() { history_.reset(); }

void CDeviceParaSet::BuildLayout()
{
    auto *grid = new QGridLayout(this);
    list_ = Tag(new QListWidget, kIdList, QStringLiteral("设备参数配置 列表"));
    list_->setMinimumWidth(220);
    grid->addWidget(list_, 0, 0, 4, 1);
    grid->addWidget(BuildDevice(), 0, 1);
    auto *machineColumn = new QVBoxLayout;
    machineColumn->addWidget(BuildMachine());
    machineColumn->addWidget(BuildBaseline());
    grid->addLayout(machineColumn, 1, 1);
    grid->addWidget(BuildLimits(), 0, 2, 2, 1);
    auto *help = new QLabel(QString::fromUtf8(kClassHelp));
    help->setWordWrap(true);
    grid->addWidget(help, 2, 1, 1, 2);
    grid->addWidget(BuildBearings(), 3, 1, 1, 2);
    auto *buttons = new QHBoxLayout;
    auto *save = Tag(new QPushButton(QStringLiteral("保存设置")), kIdSaveSettings, QStringLiteral("保存设置"));
    auto *ok = Tag(new QPushButton(QStringLiteral("确定")), kIdOk, QStringLiteral("确定"));
    auto *cancel = Tag(new QPushButton(QStringLiteral("取消")), kIdCancel, QStringLiteral("取消"));
    save->setAutoDefault(false);
    // The confirmation of a save stays in the dialog rather than in a box to
    // click away: the operator often saves several sensors in a row.
    saved_ = new QLabel;
    saved_->setObjectName(QStringLiteral("saveConfirmation"));
    // What "设为基线" found goes here too: the line has the whole width.
    baselineStatus_ = saved_;
    buttons->addWidget(saved_, 1);
    buttons->addStretch();
    for (QPushButton *b : {save, ok, cancel})
        buttons->addWidget(b);
    grid->addLayout(buttons, 4, 0, 1, 3);
    tav::ui::FitToScreen(this, QSize(980, 720));
    connect(save, &QPushButton::clicked, this, [this] {
        if (Save())
            saved_->setText(QStringLiteral("已保存传感器 %1 的设置（%2）")
                                .arg(savedAddress_)
                                .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    });
    connect(ok, &QPushButton::clicked, this, &CDeviceParaSet::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (!filling_ && row >= 0 && row < int(known_.size()))
            ShowAddress(known_[size_t(row)].address);
    });
}

QWidget *CDeviceParaSet::BuildDevice()
{
    auto *box = new QGroupBox(QStringLiteral("设备参数"));
    auto *g = new QGridLayout(box);
    address_ = Tag(new QComboBox, kIdSensorAddress, QStringLiteral("传感器地址"));
    address_->setEditable(true);  // a sensor not seen yet may be set up ahead
    address_->setInsertPolicy(QComboBox::NoInsert);  // its items stay those of the list
    workMode_ = Tag(new QComboBox, kIdWorkMode, QStringLiteral("工作模式"));
    for (const char *name : tav::kWorkModeNames)
        workMode_->addItem(QString::fromUtf8(name));
    ratedSpeed_ = Tag(new QLineEdit, kIdRatedSpeed, QStringLiteral("额定转速"));
    g->addWidget(new QLabel(QStringLiteral("传感器地址")), 0, 0);
    g->addWidget(address_, 0, 1);
    g->addWidget(new QLabel(QStringLiteral("工作模式")), 1, 0);
    g->addWidget(workMode_, 1, 1);
    g->addWidget(new QLabel(QStringLiteral("额定转速")), 2, 0);
    g->addWidget(ratedSpeed_, 2, 1);
    g->addWidget(new QLabel(QStringLiteral("转/分")), 2, 2);
    // Picking a listed address shows its settings; a typed one keeps the
    // fields, so one machine's settings can be saved for another sensor.
    connect(address_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(known_.size()))
            ShowAddress(known_[size_t(index)].address);
    });
    connect(ratedSpeed_, &QLineEdit::textChanged, this, [this] { UpdateFrequencies(); });
    return box;
}

QWidget *CDeviceParaSet::BuildMachine()
{
    auto *box = new QGroupBox(QStringLiteral("机器"));
    box->setToolTip(QString::fromUtf8(kClassHelp));
    auto *g = new QGridLayout(box);
    name_ = Tag(new QLineEdit, kIdMachineName, QStringLiteral("机器名称"));
    isoClass_ = Tag(new QComboBox, kIdIsoClass, QStringLiteral("ISO 10816-3 等级"));
    for (int c = 0; c < tav::kIsoClassCount; ++c) {
        const char *key = tav::IsoClassKey(tav::IsoClass(c));
        isoClass_->addItem(QStringLiteral("%1 (%2)").arg(QString::fromUtf8(tav::IsoClassCaption(tav::IsoClass(c))),
                                                         QString::fromUtf8(key)),
                           QString::fromUtf8(key));
    }
    onDelay_ = Tag(new QLineEdit, kIdOnDelay, QStringLiteral("报警延时"));
    onDelay_->setPlaceholderText(QStringLiteral("%1").arg(tav::kDefaultOnDelayS));
    g->addWidget(new QLabel(QStringLiteral("机器名称")), 0, 0);
    g->addWidget(name_, 0, 1);
    g->addWidget(new QLabel(QStringLiteral("ISO 10816-3 等级")), 1, 0);
    g->addWidget(isoClass_, 1, 1);
    g->addWidget(new QLabel(QStringLiteral("报警延时(s)")), 2, 0);
    g->addWidget(onDelay_, 2, 1);
    ratedRpm_ = Tag(new QLineEdit, kIdRatedRpm, QStringLiteral("机器额定转速"));
    ratedRpm_->setPlaceholderText(QStringLiteral("不按低速机器评定"));
    ratedRpm_->setToolTip(QStringLiteral("不高于 %1 转/分的机器按低速机器评定：烈度频带自 2 Hz 起，"
                                         "并按位移有效值区域判断，取速度与位移中较差的区域")
                              .arg(tav::kSlowMachineRpm));
    g->addWidget(new QLabel(QStringLiteral("机器额定转速(rpm)")), 3, 0);
    g->addWidget(ratedRpm_, 3, 1);
    connect(isoClass_, &QComboBox::currentIndexChanged, this, [this] { UpdateClassHints(); });
    return box;
}

QWidget *CDeviceParaSet::BuildLimits()
{
    auto *box = new QGroupBox(QStringLiteral("报警限值（留空为不设限值）"));
    box->setToolTip(QString::fromUtf8(kClassHelp));
    auto *g = new QGridLayout(box);
    g->addWidget(new QLabel(QStringLiteral("预警")), 0, 1);
    g->addWidget(new QLabel(QStringLiteral("危险")), 0, 2);
    for (int q = 0; q < tav::kAlarmQuantityCount; ++q) {
        const QString name = QString::fromUtf8(tav::QuantityText(q));
        alert_[q] = Tag(new QLineEdit, kIdAlertFirst + q, name + QStringLiteral(" 预警限值"));
        danger_[q] = Tag(new QLineEdit, kIdDangerFirst + q, name + QStringLiteral(" 危险限值"));
        alert_[q]->setFixedWidth(80);
        danger_[q]->setFixedWidth(80);
        g->addWidget(new QLabel(name), q + 1, 0);
        g->addWidget(alert_[q], q + 1, 1);
        g->addWidget(danger_[q], q + 1, 2);
        g->addWidget(new QLabel(QString::fromUtf8(tav::LimitUnit(q))), q + 1, 3);
    }
    for (QLineEdit *e : {alert_[tav::kQuantityVelocity], danger_[tav::kQuantityVelocity]})
        connect(e, &QLineEdit::textChanged, this, [this] {
            if (!filling_)
                ShowBaseline();
        });
    return box;
}

QWidget *CDeviceParaSet::BuildBearings()
{
    auto *box = new QGroupBox(QStringLiteral("轴承（故障频率按额定转速计算）"));
    auto *v = new QVBoxLayout(box);
    bearings_ = Tag(new QTableWidget(0, kColCount), kIdBearings, QStringLiteral("轴承"));
    bearings_->setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("滚动体数"),
                                          QStringLiteral("滚动体直径(mm)"), QStringLiteral("节圆直径(mm)"),
                                          QStringLiteral("接触角(°)"), QStringLiteral("FTF(Hz)"),
                                          QStringLiteral("BSF(Hz)"), QStringLiteral("BPFO(Hz)"),
                                          QStringLiteral("BPFI(Hz)")});
    bearings_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    bearings_->setMinimumHeight(110);
    v->addWidget(bearings_);
    auto *row = new QHBoxLayout;
    auto *add = Tag(new QPushButton(QStringLiteral("添加轴承")), kIdAddBearing, QStringLiteral("添加轴承"));
    auto *remove = Tag(new QPushButton(QStringLiteral("删除轴承")), kIdRemoveBearing, QStringLiteral("删除轴承"));
    add->setAutoDefault(false);
    remove->setAutoDefault(false);
    row->addWidget(add);
    row->addWidget(remove);
    row->addStretch();
    v->addLayout(row);
    connect(add, &QPushButton::clicked, this, [this] {
        AddBearingRow({});
        bearings_->setCurrentCell(bearings_->rowCount() - 1, kColName);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        const int r = bearings_->currentRow();
        if (r >= 0)
            bearings_->removeRow(r);
    });
    connect(bearings_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (!filling_ && item->column() < kColFtf)
            UpdateFrequencies();
    });
    return box;
}

void CDeviceParaSet::OpenDialog()
{
    // The table as it is on disk now, as the parameter dialog reads it.
    std::string error;
    if (!station_.DeviceTable().LoadDeviceParameters(station_.DeviceParameterPath(), false, &error))
        ShowMessage(this, Utf8(error));
    // And whatever the settings watcher last read of the file, should it
    // have been edited: its faults matter to the one about to edit it.
    QStringList faults;
    for (const std::string &m : station_.ApplyReloadedSettings())
        faults << Utf8(m);
    if (!faults.isEmpty())
        tav::ui::ShowMessagesInTurn(this, faults);
    std::vector<uint32_t> connected;
    auto &table = station_.Table();
    for (int slot = 0; slot < tav::kSlotCount; ++slot)
        if (table[slot].InUse())
            connected.push_back(table[slot].sensorAddress.load());
    known_ = tav::KnownSensors(connected, station_.DeviceTable(), station_.Settings().sensors);
    // The main window's sensor first; else the first one listed.
    int32_t address = known_.empty() ? 0 : known_.front().address;
    if (auto *main = parentWidget() ? FindControl<QComboBox>(parentWidget(), 1001) : nullptr) {
        const QString line = main->currentText();
        const int at = line.indexOf(QStringLiteral("地址:"));
        bool ok = false;
        const int shown = at >= 0 ? line.mid(at + 3).trimmed().toInt(&ok) : 0;
        if (ok && shown > 0)
            address = shown;
    }
    FillList();
    ShowAddress(address);
    AskHistory();
    open();
}

void CDeviceParaSet::AskHistory()
{
    // Addresses only the history knows: its reader runs on its own thread,
    // and the list grows when the answer is posted back.
    if (!EnsureHistory())
        return;
    historyPending_.fetch_add(1);
    history_->RequestSensors();
}

bool CDeviceParaSet::EnsureHistory()
{
    const std::string database = station_.DataFolder() + "/" + tav::kHistoryFileName;
    std::error_code ec;
    if (!std::filesystem::exists(database, ec))
        return false;
    if (!history_)
        history_ = std::make_unique<tav::HistoryQueryThread>(database, [this](std::unique_ptr<tav::HistoryAnswer> a) {
            QCoreApplication::postEvent(this, new HistorySensorsEvent(std::move(a)));
        });
    return true;
}

bool CDeviceParaSet::event(QEvent *e)
{
    if (e->type() != HistorySensorsEvent::Kind())
        return QDialog::event(e);
    historyPending_.fetch_sub(1);
    const auto &answer = static_cast<HistorySensorsEvent *>(e)->answer;
    if (answer->ok && answer->kind == tav::HistoryAnswer::kSensors) {
        for (const tav::HistorySensorSummary &s : answer->sensors)
            tav::AddKnownSensor(&known_, s.address, tav::kKnownHistory);
        FillList();
    } else if (answer->kind == tav::HistoryAnswer::kSeries) {
        TakeBaseline(*answer);
    }
    return true;
}

void CDeviceParaSet::FillList()
{
    // Refilling keeps what the operator is editing: only the marks move.
    filling_ = true;
    const QString typed = address_->currentText();
    list_->clear();
    address_->clear();
    int current = -1;
    for (size_t i = 0; i < known_.size(); ++i) {
        list_->addItem(Utf8(tav::KnownSensorText(known_[i])));
        address_->addItem(QString::number(known_[i].address));
        if (QString::number(known_[i].address) == typed.trimmed())
            current = int(i);
    }
    list_->setCurrentRow(current);
    address_->setCurrentIndex(current);
    address_->setEditText(typed);
    filling_ = false;
}

void CDeviceParaSet::ShowAddress(int32_t address)
{
    if (saved_ && address != savedAddress_)
        saved_->clear();
    auto &table = station_.DeviceTable();
    tav::DeviceParameterRecord record;
    const tav::DeviceParameterRecord *shownRecord = nullptr;
    for (int i = 0; address > 0 && i < tav::DeviceParameterTable::kRecordCount && !shownRecord; ++i)
        if (table.Record(i).sensorAddress == uint32_t(address))
            shownRecord = &(record = table.Record(i));
    const auto &machines = station_.Settings().sensors;
    auto it = machines.find(address);
    ShowFields(tav::FieldsOf(address, shownRecord, it == machines.end() ? nullptr : &it->second));
    filling_ = true;
    int row = -1;
    for (size_t i = 0; i < known_.size(); ++i)
        if (known_[i].address == address)
            row = int(i);
    list_->setCurrentRow(row);
    address_->setCurrentIndex(row);
    address_->setEditText(address > 0 ? QString::number(address) : QString());
    filling_ = false;
    shown_ = Fields();
}

void CDeviceParaSet::ShowFields(const tav::MachineFields &f)
{
    filling_ = true;
    address_->setEditText(Utf8(f.address));
    workMode_->setCurrentIndex(f.workMode >= 0 && f.workMode < workMode_->count() ? f.workMode : -1);
    ratedSpeed_->setText(Utf8(f.ratedSpeed));
    name_->setText(Utf8(f.name));
    isoClass_->setCurrentIndex(isoClass_->findData(Utf8(f.isoClass)));
    for (int q = 0; q < tav::kAlarmQuantityCount; ++q) {
        alert_[q]->setText(Utf8(f.alert[q]));
        danger_[q]->setText(Utf8(f.danger[q]));
    }
    onDelay_->setText(Utf8(f.onDelayS));
    ratedRpm_->setText(Utf8(f.ratedRpm));
    bearings_->setRowCount(0);
    for (const tav::BearingFields &b : f.bearings)
        AddBearingRow(b);
    for (int axis = 0; axis < 3; ++axis)
        baseline_[axis] = f.baseline[axis];
    baselineSetAt_ = f.baselineSetAt;
    baselineFrom_ = f.baselineFrom;
    baselineTo_ = f.baselineTo;
    filling_ = false;
    UpdateFrequencies();
    UpdateClassHints();
}

tav::MachineFields CDeviceParaSet::Fields() const
{
    tav::MachineFields f;
    f.address = Std(address_->currentText());
    f.workMode = workMode_->currentIndex();
    f.ratedSpeed = Std(ratedSpeed_->text());
    f.name = Std(name_->text());
    f.isoClass = Std(isoClass_->currentData().toString());
    for (int q = 0; q < tav::kAlarmQuantityCount; ++q) {
        f.alert[q] = Std(alert_[q]->text());
        f.danger[q] = Std(danger_[q]->text());
    }
    f.onDelayS = Std(onDelay_->text());
    f.ratedRpm = Std(ratedRpm_->text());
    auto cell = [this](int r, int c) {
        const QTableWidgetItem *item = bearings_->item(r, c);
        return item ? Std(item->text()) : std::string();
    };
    for (int r = 0; r < bearings_->rowCount(); ++r)
        f.bearings.push_back({cell(r, kColName), cell(r, kColElements), cell(r, kColBall), cell(r, kColPitch),
                              cell(r, kColAngle)});
    for (int axis = 0; axis < 3; ++axis)
        f.baseline[axis] = baseline_[axis];
    f.baselineSetAt = baselineSetAt_;
    f.baselineFrom = baselineFrom_;
    f.baselineTo = baselineTo_;
    return f;
}

void CDeviceParaSet::AddBearingRow(const tav::BearingFields &b)
{
    const bool wasFilling = filling_;
    filling_ = true;
    const int r = bearings_->rowCount();
    bearings_->insertRow(r);
    const std::string *texts[5] = {&b.name, &b.elements, &b.ballDiameterMm, &b.pitchDiameterMm, &b.contactAngleDeg};
    for (int c = 0; c < kColCount; ++c) {
        auto *item = new QTableWidgetItem(c < kColFtf ? Utf8(*texts[c]) : QString());
        if (c >= kColFtf)
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);  // computed
        bearings_->setItem(r, c, item);
    }
    filling_ = wasFilling;
    UpdateFrequencies();
}

void CDeviceParaSet::UpdateFrequencies()
{
    if (filling_ || !bearings_)
        return;
    filling_ = true;
    const tav::MachineFields f = Fields();
    auto speed = tav::ParseInteger(f.ratedSpeed);
    for (int r = 0; r < bearings_->rowCount(); ++r) {
        // Only a row that reads as a whole bearing gets numbers.
        tav::MachineFields one;
        one.address = "1";
        one.ratedSpeed = "0";
        one.bearings = {f.bearings[size_t(r)]};
        const tav::MachineForm form = tav::ReadMachineForm(one);
        tav::analysis::DefectFrequencies d;
        if (form.ok && !form.machine.bearings.empty() && speed)
            d = tav::analysis::BearingDefectFrequencies(form.machine.bearings.front(), double(*speed));
        const double values[4] = {d.ftf, d.bsf, d.bpfo, d.bpfi};
        for (int i = 0; i < 4; ++i)
            if (QTableWidgetItem *item = bearings_->item(r, kColFtf + i))
                item->setText(values[i] > 0 ? QString::number(values[i], 'f', 2) : QString());
    }
    filling_ = false;
}

void CDeviceParaSet::UpdateClassHints()
{
    // An empty velocity box means the class's boundary: say which.
    tav::IsoClass c = tav::IsoClass::kNone;
    tav::ParseIsoClass(Std(isoClass_->currentData().toString()), &c);
    const tav::ZoneBoundaries b = tav::BoundariesOf(c);
    const bool any = c != tav::IsoClass::kNone;
    const bool byBaseline = any && !(baseline_[0].empty() && baseline_[1].empty() && baseline_[2].empty());
    alert_[tav::kQuantityVelocity]->setPlaceholderText(byBaseline ? QStringLiteral("按基线")
                                                       : any      ? QStringLiteral("B/C %1").arg(b.bc)
                                                                  : QString());
    danger_[tav::kQuantityVelocity]->setPlaceholderText(byBaseline ? QStringLiteral("按基线")
                                                        : any      ? QStringLiteral("C/D %1").arg(b.cd)
                                                                   : QString());
    ShowBaseline();
}

bool CDeviceParaSet::Save()
{
    const tav::MachineFields fields = Fields();
    const tav::MachineForm form = tav::ReadMachineForm(fields, station_.Settings().capture.preS);
    if (!form.ok) {
        ShowMessage(this, Utf8(form.message));
        return false;
    }
    const std::string error = tav::SaveMachineForm(form, station_.DeviceTable(), station_.DeviceParameterPath(),
                                                   station_.SettingsPath());
    if (!error.empty()) {
        ShowMessage(this, Utf8(error));
        return false;
    }
    // The new speed band for every connection of that sensor, and the new
    // limits at once rather than at the settings file's next poll (which
    // reads the same file again and reports any other line's fault).
    auto &table = station_.Table();
    for (int slot = 0; slot < tav::kSlotCount; ++slot)
        if (table[slot].InUse() && table[slot].sensorAddress.load() == form.address)
            station_.DeviceTable().ApplyDeviceParameters(table[slot]);
    std::vector<std::string> ignored;  // the poll reports them
    tav::StationSettings fresh = tav::LoadStationSettings(station_.SettingsPath(), &ignored);
    if (fresh.readable)
        station_.ApplyAlarmSettings(fresh);
    tav::AddKnownSensor(&known_, form.address, tav::kKnownDeviceTable | tav::kKnownSettings);
    for (tav::KnownSensor &k : known_)
        if (k.address == int32_t(form.address))
            k.name = form.machine.name;
    savedAddress_ = int32_t(form.address);
    FillList();
    ShowAddress(int32_t(form.address));
    return true;
}

void CDeviceParaSet::accept()
{
    // OK keeps what was typed: a changed form is saved first, and a refused
    // one keeps the dialog open.
    if (!(Fields() == shown_) && !Save())
        return;
    QDialog::accept();
}

std::vector<int32_t> CDeviceParaSet::ListedAddresses() const
{
    std::vector<int32_t> out;
    for (const tav::KnownSensor &k : known_)
        out.push_back(k.address);
    return out;
}
