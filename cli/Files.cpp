// The operator's files: read whole, written whole or not at all.
#include "cli/Command.h"

#include "cli/Interrupt.h"
#include "lan/AtomicFile.h"
#include "lan/Interfaces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace cv::cli {

void CheckWritable(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw Usage{"--save " + path + ": not a regular file; nothing was sent"};
    // What WriteFile will create first, tried now and taken away again.
    const std::string tmp = path + ".tmp";
    const bool existed = ::access(tmp.c_str(), F_OK) == 0;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Usage{"--save " + path + ": " + std::strerror(errno) + "; nothing was sent"};
    ::close(fd);
    if (!existed)
        ::unlink(tmp.c_str());
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Usage{"cannot read " + path};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& text, std::ostream& err)
{
    if (auto failed = lan::WriteFileAtomically(path, text)) {
        err << "cannot write " << path << ": " << *failed << "\n";
        return false;
    }
    return true;
}

}  // namespace cv::cli
