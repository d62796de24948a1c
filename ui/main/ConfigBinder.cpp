#include "ui/main/ConfigBinder.h"

#include "ui/config/DeviceParaSet.h"
#include "ui/config/PARASET.h"
#include "ui/main/TavenorDlg.h"

namespace tav::ui {

ConfigBinder::ConfigBinder(CTavenorDlg &main)
    : QObject(&main),
      main_(main),
      paraSet_(new CPARASET(main.Station(), &main)),
      deviceParaSet_(new CDeviceParaSet(main.Station(), &main))
{
    setObjectName(QStringLiteral("configBinder"));
    connect(&main, &CTavenorDlg::menuCommand, this, [this](int id) {
        if (id == kSensorParametersCommand && !paraSet_->IsOpen())
            paraSet_->OpenDialog();
        else if (id == kDeviceParametersCommand && !deviceParaSet_->isVisible())
            deviceParaSet_->OpenDialog();
    });
    connect(&main, &CTavenorDlg::sensorReply, this, [this](const tav::StationEvent &event) {
        // The cache takes every reply; the dialog's controls only while it is open.
        tav::ReplyOutcome outcome = main_.Station().IntakeSensorReply(event);
        if (!paraSet_->IsOpen())
            return;
        if (outcome.refresh)
            paraSet_->RefreshFromCache();
        size_t length = event.length < sizeof event.data ? event.length : sizeof event.data;
        paraSet_->EchoReceived(event.data, length);
    });
}

}  // namespace tav::ui
