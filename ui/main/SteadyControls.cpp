#include "ui/main/SteadyControls.h"

#include <QPushButton>

#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/main/TavenorDlg.h"

namespace tav::ui {

SteadyControls::SteadyControls(CTavenorDlg &window) : QObject(&window), window_(window)
{
    connect(&window, &CTavenorDlg::steadyTick, this, &SteadyControls::OnTick);
    connect(&window, &CTavenorDlg::connectionReleased, this,
            [this](int slot, quint32 generation) { window_.Station().Steady().Release(slot, generation); });
    if (auto *start = FindControl<QPushButton>(&window, 1155))
        connect(start, &QPushButton::clicked, this, &SteadyControls::StartLog);
    if (auto *stop = FindControl<QPushButton>(&window, 1156))
        connect(stop, &QPushButton::clicked, this, &SteadyControls::StopLog);
}

void SteadyControls::Show(const std::vector<std::string> &messages)
{
    for (const auto &m : messages)
        ShowMessage(&window_, QString::fromStdString(m));
}

void SteadyControls::OnTick() { Show(window_.Station().SteadyTick()); }

void SteadyControls::StartLog()
{
    Show(window_.Station().StartSteadyLog());
    FindControl<QPushButton>(&window_, 1155)->setEnabled(false);
    FindControl<QPushButton>(&window_, 1156)->setEnabled(true);
}

void SteadyControls::StopLog()
{
    Show(window_.Station().SteadyLogger().Stop());
    FindControl<QPushButton>(&window_, 1155)->setEnabled(true);
    FindControl<QPushButton>(&window_, 1156)->setEnabled(false);
}

}  // namespace tav::ui
