#include "ui/analysis/WaterfallPanel.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdio>

#include "core/analysis/WaterfallCsv.h"
#include "ui/analysis/WaterfallPlot.h"
#include "ui/common/Controls.h"

namespace tav::ui {

namespace {

constexpr double kMaxHz[5] = {500, 1000, 2000, 5000, 10000};
const char *const kAxisNames[3] = {"X", "Y", "Z"};

QComboBox *List(int id, const QString &name, const QStringList &items, int current = 0)
{
    auto *list = Tag(new QComboBox, id, name);
    list->addItems(items);
    list->setCurrentIndex(current);
    return list;
}

QPushButton *Button(int id, const QString &text)
{
    auto *b = Tag(new QPushButton(text), id, text);
    b->setAutoDefault(false);
    return b;
}

QString AskForFile(QWidget *parent, const QString &suggested, const QString &filter)
{
    QFileDialog dialog(parent, QStringLiteral("导出"), suggested, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QFileInfo(suggested).suffix());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

}  // namespace

WaterfallPanel::WaterfallPanel(ConnectionTable &table, LivePlots &plots, std::string exportFolder, QWidget *parent)
    : QWidget(parent), table_(table), worker_(table, plots), exportFolder_(std::move(exportFolder)), chooser_(AskForFile)
{
    setAccessibleName(QStringLiteral("瀑布图"));
    BuildLayout();
    SendRequest();
    connect(&poll_, &QTimer::timeout, this, &WaterfallPanel::Poll);
}

WaterfallPanel::~WaterfallPanel()
{
    poll_.stop();
    worker_.Stop();
    if (exporter_.joinable())
        exporter_.join();
}

void WaterfallPanel::BuildLayout()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    auto *row = new QHBoxLayout;
    axis_ = List(kAxisList, QStringLiteral("轴"), {QStringLiteral("X轴"), QStringLiteral("Y轴"), QStringLiteral("Z轴")});
    quantity_ = List(kQuantityList, QStringLiteral("物理量"),
                     {QStringLiteral("加速度(g)"), QStringLiteral("速度(mm/s)"), QStringLiteral("位移(mm)")});
    minutes_ = Tag(new QSpinBox, kSpanBox, QStringLiteral("时长"));
    minutes_->setRange(analysis::WaterfallStore::kMinMinutes, analysis::WaterfallStore::kMaxMinutes);
    minutes_->setValue(5);
    minutes_->setSuffix(QStringLiteral(" 分钟"));
    maxHz_ = List(kMaxFrequencyList, QStringLiteral("最高频率"),
                  {QStringLiteral("500 Hz"), QStringLiteral("1000 Hz"), QStringLiteral("2000 Hz"),
                   QStringLiteral("5000 Hz"), QStringLiteral("10000 Hz")},
                  1);
    amplitude_ = List(kAmplitudeList, QStringLiteral("幅值"), {QStringLiteral("线性"), QStringLiteral("dB")});
    freeze_ = Button(kFreezeButton, QStringLiteral("冻结"));
    freeze_->setCheckable(true);
    image_ = Button(kImageButton, QStringLiteral("导出图片"));
    csv_ = Button(kCsvButton, QStringLiteral("导出CSV"));
    for (auto [caption, widget] : std::initializer_list<std::pair<const char *, QWidget *>>{
             {"轴", axis_}, {"物理量", quantity_}, {"时长", minutes_}, {"最高频率", maxHz_}, {"幅值", amplitude_},
             {nullptr, freeze_}, {nullptr, image_}, {nullptr, csv_}}) {
        if (caption)
            row->addWidget(new QLabel(QString::fromUtf8(caption)));
        row->addWidget(widget);
    }
    row->addStretch(1);
    root->addLayout(row);
    view_ = Tag(new WaterfallPlot(worker_.Store()), kPlot, QStringLiteral("瀑布图"));
    root->addWidget(view_, 1);
    status_ = Tag(new QLabel, kStatusLabel, QStringLiteral("状态"));
    root->addWidget(status_);

    for (QComboBox *list : {axis_, quantity_, maxHz_})
        connect(list, &QComboBox::currentIndexChanged, this, &WaterfallPanel::SendRequest);
    connect(minutes_, &QSpinBox::valueChanged, this, &WaterfallPanel::SendRequest);
    connect(amplitude_, &QComboBox::currentIndexChanged, this, [this](int i) { view_->SetDecibels(i == 1); });
    connect(freeze_, &QPushButton::toggled, this, [this](bool frozen) {
        // What the rows are cannot change under a frozen picture.
        for (QWidget *w : std::initializer_list<QWidget *>{axis_, quantity_, minutes_, maxHz_})
            w->setEnabled(!frozen);
        freeze_->setText(frozen ? QStringLiteral("解冻") : QStringLiteral("冻结"));
        SendRequest();
        ShowStatus();
    });
    connect(image_, &QPushButton::clicked, this, &WaterfallPanel::ExportImage);
    connect(csv_, &QPushButton::clicked, this, &WaterfallPanel::ExportCsv);
}

void WaterfallPanel::SendRequest()
{
    analysis::WaterfallRequest r;
    r.axis = axis_->currentIndex();
    r.quantity = quantity_->currentIndex();
    r.minutes = minutes_->value();
    r.maxHz = kMaxHz[std::clamp(maxHz_->currentIndex(), 0, 4)];
    r.frozen = freeze_->isChecked();
    worker_.SetRequest(r);
}

void WaterfallPanel::SetAxis(int axis)
{
    if (!freeze_->isChecked())
        axis_->setCurrentIndex(std::clamp(axis, 0, 2));
}

void WaterfallPanel::Start()
{
    SendRequest();
    worker_.Start();
    poll_.start(kPollMs);
    Poll();
}

void WaterfallPanel::Stop()
{
    poll_.stop();
    worker_.Stop();
}

void WaterfallPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    Start();
}

void WaterfallPanel::hideEvent(QHideEvent *event)
{
    // Nothing is computed for a waterfall no one sees.
    Stop();
    QWidget::hideEvent(event);
}

void WaterfallPanel::Poll()
{
    view_->Refresh();
    ShowStatus();
}

void WaterfallPanel::ShowStatus()
{
    analysis::WaterfallSignal s;
    uint64_t rows = 0;
    int minutes = 0;
    {
        auto lock = worker_.Store().Lock();
        s = worker_.Store().Signal();
        rows = worker_.Store().Next() - worker_.Store().First();
        minutes = worker_.Store().Minutes();
    }
    QString text;
    if (s.slot < 0) {
        text = table_.selectedConnection.load() < 0 ? QStringLiteral("未选择传感器") : QStringLiteral("等待数据…");
    } else {
        text = QStringLiteral("传感器 %1  %2轴  Δf = %3 Hz  %4 / %5 行")
                   .arg(s.address)
                   .arg(QString::fromUtf8(kAxisNames[std::clamp(s.axis, 0, 2)]))
                   .arg(s.df, 0, 'f', 3)
                   .arg(rows)
                   .arg(minutes * analysis::WaterfallStore::kRowsPerMinute);
    }
    if (freeze_->isChecked())
        text += QStringLiteral("    已冻结");
    if (ExportBusy()) {
        text += QStringLiteral("    正在导出…");
    } else {
        std::lock_guard lock(exportMutex_);
        if (!lastExport_.isEmpty())
            text += exportError_.empty() ? QStringLiteral("    已导出: ") + lastExport_
                                         : QStringLiteral("    导出失败: ") + QString::fromStdString(exportError_);
    }
    status_->setText(text);
}

QString WaterfallPanel::Suggested(const char *extension) const
{
    uint32_t address = 0;
    int axis = 0;
    {
        auto lock = worker_.Store().Lock();
        address = worker_.Store().Signal().address;
        axis = std::clamp(worker_.Store().Signal().axis, 0, 2);
    }
    return QString::fromStdString(exportFolder_) +
           QStringLiteral("/waterfall_%1_%2_%3.%4")
               .arg(address, 4, 10, QLatin1Char('0'))
               .arg(QString::fromUtf8(kAxisNames[axis]))
               .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss")))
               .arg(QString::fromUtf8(extension));
}

void WaterfallPanel::RunExport(const QString &path, std::function<std::string()> job)
{
    if (ExportBusy())
        return;
    if (exporter_.joinable())
        exporter_.join();  // finished: ExportBusy is false
    exportBusy_.store(true, std::memory_order_release);
    ShowStatus();
    exporter_ = std::thread([this, path, job = std::move(job)] {
        const std::string error = job();
        {
            std::lock_guard lock(exportMutex_);
            lastExport_ = path;
            exportError_ = error;
        }
        exportBusy_.store(false, std::memory_order_release);
    });
}

void WaterfallPanel::ExportImage()
{
    if (ExportBusy())
        return;
    const QString path = chooser_(this, Suggested("png"), QStringLiteral("PNG (*.png)"));
    if (path.isEmpty())
        return;
    view_->Refresh();
    const QImage image = view_->Grab();
    RunExport(path, [image, path]() -> std::string {
        // Written aside and renamed: a file under the name is whole.
        const QString temp = path + QStringLiteral(".part");
        if (!image.save(temp, "PNG")) {
            QFile::remove(temp);
            return "无法写入 " + temp.toStdString();
        }
        if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0) {
            QFile::remove(temp);
            return "无法写入 " + path.toStdString();
        }
        return {};
    });
}

void WaterfallPanel::ExportCsv()
{
    if (ExportBusy())
        return;
    const QString path = chooser_(this, Suggested("csv"), QStringLiteral("CSV File(*.csv)"));
    if (path.isEmpty())
        return;
    RunExport(path, [this, file = path.toStdString()] { return analysis::WriteWaterfallCsv(worker_.Store(), file); });
}

QString WaterfallPanel::LastExport() const
{
    std::lock_guard lock(exportMutex_);
    return lastExport_;
}

bool WaterfallPanel::LastExportOk() const
{
    std::lock_guard lock(exportMutex_);
    return !lastExport_.isEmpty() && exportError_.empty();
}

}  // namespace tav::ui
