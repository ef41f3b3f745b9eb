#include "cli/Reporter.h"

namespace cv::cli {

void Reporter::Progress(const std::string& address, const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << address << ": " << text << std::endl;
}

void Reporter::Failure(const std::string& address, const std::string& step, const std::string& detail)
{
    std::lock_guard lock(mutex_);
    err_ << address << ": " << step << " failed: " << detail << std::endl;
}

void Reporter::Note(const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << text << std::endl;
}

}  // namespace cv::cli
