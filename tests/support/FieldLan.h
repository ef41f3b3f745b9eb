#pragma once
// What the field tests share: Debian's TFTP server on the workstation
// address, and a selected endpoint the way a click on its row leaves it.
#include "SimProcess.h"
#include "net/Session.h"
#include "platform/Controls.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace testing_support {

// in.tftpd from tftpd-hpa, as Debian runs it (--secure, one directory),
// listening on one address of the workstation.
class TftpServer {
public:
    explicit TftpServer(std::string address = "198.18.0.1")
        : address_(std::move(address)),
          dir_(std::filesystem::temp_directory_path() / ("cv-tftp-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(dir_);
    }
    ~TftpServer()
    {
        Stop();
        std::filesystem::remove_all(dir_);
    }
    TftpServer(const TftpServer&) = delete;
    TftpServer& operator=(const TftpServer&) = delete;

    bool Start()
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string listen = address_ + ":69";
            ::execl("/usr/sbin/in.tftpd", "in.tftpd", "--foreground", "--listen", "--address", listen.c_str(),
                    "--secure", dir_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    void Stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    void Put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    const std::filesystem::path& Dir() const { return dir_; }

private:
    std::string address_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

inline std::string ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline const std::string kDetailLines = "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n";

// A click on the endpoint's row, then wait until its panel is filled and
// the selection wait is over.
inline void SelectEndpoint(CMyCortaviaDlg& dlg, cv::sim::SimProcess& sim, bool tx, const std::string& address)
{
    platform::ListView* list = dlg.List(tx ? IDC_TX_LIST : IDC_RX_LIST);
    list->InsertItem(0, QString::fromStdString(address));
    list->SetSelectedRow(0);
    DetailQuery(dlg, tx, 0);
    ASSERT_TRUE(PumpUntil([&] { return dlg.GetDlgItemText(IDC_VERSION) != "Version: "; }));
    ASSERT_TRUE(PumpUntil([&] { return !dlg.IsTimerRunning(TIMER_SELECT); }));
    PumpUntil([&] { return sim.wireBytes(address).size() >= kDetailLines.size(); });
    ASSERT_EQ(sim.wireBytes(address), kDetailLines);
}

inline std::string UpgradeLines(const std::string& workstation, const std::string& file)
{
    return "cd /dev/shm\r\ntftp -v " + workstation + " -c get " + file + "\r\nrm -f mtdblk*\r\nrm -f *.sh\r\nmv " +
        file + " fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n";
}

}  // namespace testing_support
