#include "app/CortaviaApp.h"

#include "platform/Dialog.h"
#include "platform/MessageBox.h"
#include "ui/AboutBox.h"
#include "ui/CortaviaDlg.h"

#include <QLabel>
#include <QPushButton>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace {

bool RealSocketLayerCheck()
{
    // The platform's sockets are there when one can be opened.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::function<bool()>& socketCheck()
{
    static std::function<bool()> check = RealSocketLayerCheck;
    return check;
}

}  // namespace

void CMyCortaviaApp::SetSocketLayerCheck(std::function<bool()> check)
{
    socketCheck() = check ? std::move(check) : std::function<bool()>(RealSocketLayerCheck);
}

bool CMyCortaviaApp::InitInstance()
{
    if (!socketCheck()()) {
        platform::MessageBox(nullptr, QString::fromUtf8(kSocketsInitFailed),
                             platform::MB_OK | platform::MB_ICONWARNING);
        return false;
    }
    SetAboutBoxRunner([](QWidget* owner) {
        CAboutDlg about(owner);
        about.exec();
    });
    {
        auto dlg = std::make_unique<CMyCortaviaDlg>();
        dlg->DoModal();
    }
    return false;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About Cortavia"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    const platform::DialogUnits du = platform::DialogUnits::ForFont(font());
    setFixedSize(du.Map(170, 62));
    auto* icon = new QLabel(this);  // names an icon the program never had: stays empty
    icon->setGeometry(du.Map(14, 14, 21, 20));
    auto* version = new QLabel(QString::fromUtf8(kAboutVersionText), this);
    version->setTextFormat(Qt::PlainText);
    version->setObjectName(QStringLiteral("AboutVersion"));
    version->setGeometry(du.Map(42, 14, 114, 8));
    auto* second = new QLabel(QString::fromUtf8(kAboutSecondLine), this);
    second->setGeometry(du.Map(42, 26, 114, 8));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(du.Map(113, 41, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
