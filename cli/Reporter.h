#pragma once
// Progress and failures on standard error, one whole line at a time from
// any thread.
#include <mutex>
#include <ostream>
#include <string>

namespace cv::cli {

// Text that may hold an endpoint's bytes, made safe for a terminal: control
// bytes (C0, DEL, C1) and bytes that are not UTF-8 become \xNN; with
// keepNewlines a line feed stays one.
// keepReturns too (a quoted CSV cell).
std::string Printable(const std::string& text, bool keepNewlines = false, bool keepReturns = false);

class Reporter {
public:
    explicit Reporter(std::ostream& err, bool quiet = false) : err_(err), quiet_(quiet) { }
    void Progress(const std::string& address, const std::string& text);
    // Failures are shown also when quiet.
    void Failure(const std::string& address, const std::string& step, const std::string& detail);
    void Note(const std::string& text);

private:
    std::mutex mutex_;
    std::ostream& err_;
    bool quiet_;
};

}  // namespace cv::cli
