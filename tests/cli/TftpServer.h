#pragma once
// in.tftpd from tftpd-hpa on the workstation address of the test LAN, as
// Debian runs it (--secure, one directory), for upgrade tests and benches.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace cv::cli_test {

namespace fs = std::filesystem;

class TftpServer {
public:
    TftpServer() : dir_(fs::temp_directory_path() / ("cv-cli-tftp-" + std::to_string(::getpid())))
    {
        fs::create_directories(dir_);
    }
    ~TftpServer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    bool Start()
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/usr/sbin/in.tftpd", "in.tftpd", "--foreground", "--listen", "--address", "198.18.0.1:69",
                    "--secure", dir_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    void Put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::string dir() const { return dir_.string(); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

}  // namespace cv::cli_test
