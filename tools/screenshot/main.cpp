#include "SimProcess.h"
#include "net/Session.h"
#include "platform/Controls.h"
#include "platform/MessageBox.h"
#include "ui/CortaviaDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>
#include <cstdio>

namespace {
template <typename Pred>
bool Pump(Pred done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return done();
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || qEnvironmentVariableIsEmpty("CV_LAN_NS")) {
        std::fprintf(stderr, "usage (inside the test LAN): %s output.png\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    cv::sim::SimProcess sim({"--tx", "2", "--rx", "6", "--node",
                             "rx ip=198.18.2.50 hostname_id=lobby-left channel=0001 multicast=y ip_mode=static "
                             "netmask=255.255.0.0 gateway=198.18.0.1 version=A7.3.1"});
    if (!sim.start()) {
        std::fprintf(stderr, "%s\n", sim.error().c_str());
        return 1;
    }
    platform::SetMessageBoxHandler([](const platform::MessageBoxRequest&) { return platform::IDOK; });
    CMyCortaviaDlg dlg;
    dlg.Create();
    dlg.show();
    Scan(dlg);
    Pump([&] { return dlg.List(IDC_RX_LIST)->GetItemCount() == 7; }, 5000);
    for (int i = 0; i < 4; ++i)
        dlg.OnTimer(TIMER_SCAN);
    dlg.List(IDC_RX_LIST)->SetSelectedRow(6);
    DetailQuery(dlg, false, 6);
    Pump([&] { return !dlg.GetDlgItemText(IDC_HOSTNAME_ID).isEmpty(); }, 5000);
    for (int i = 0; i < 4; ++i)
        dlg.OnTimer(TIMER_SELECT);
    dlg.SetDlgItemText(GridButtonId(0, 0), "0");
    dlg.SetDlgItemText(GridButtonId(0, 1), "1");
    Pump([] { return false; }, 200);
    const bool saved = dlg.grab().save(QString::fromLocal8Bit(argv[1]));
    return saved ? 0 : 1;
}
