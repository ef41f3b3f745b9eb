#include "Shell.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace esim {

std::vector<std::string> LineSplitter::feed(std::string_view bytes)
{
    std::vector<std::string> lines;
    for (char c : bytes) {
        if (c == '\0')
            continue;
        partial_ += c;
        if (c == '\n' || partial_.size() >= kMaxLine) {
            lines.push_back(std::move(partial_));
            partial_.clear();
        }
    }
    return lines;
}

std::string toCrLf(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

static std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

static std::string stripEol(const std::string& line)
{
    size_t n = line.size();
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        --n;
    return line.substr(0, n);
}

static long fileSize(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

static bool startsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }

// "mtdblk*" and "*.sh" are the only patterns the tool sends.
static bool globMatch(const std::string& pattern, const std::string& name)
{
    auto star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == name;
    std::string pre = pattern.substr(0, star), post = pattern.substr(star + 1);
    return name.size() >= pre.size() + post.size() && startsWith(name, pre) &&
        name.compare(name.size() - post.size(), post.size(), post) == 0;
}

Session::Session(Fleet& fleet, int node, const ShellOptions& opts, Log log)
    : fleet_(fleet),
      node_(node),
      opts_(opts),
      log_(std::move(log))
{ }

void Session::receive(std::string_view bytes, int64_t nowMs)
{
    if (close_)
        return;
    for (auto& line : splitter_.feed(bytes))
        queue_.push_back(std::move(line));
    run(nowMs);
}

std::string Session::takeOutput()
{
    std::string out;
    out.swap(out_);
    return out;
}

std::optional<TftpJob> Session::takeTftpJob()
{
    if (!job_)
        return std::nullopt;
    jobRunning_ = true;
    lastJobFile_ = job_->file;
    auto job = std::move(job_);
    job_.reset();
    return job;
}

void Session::run(int64_t nowMs)
{
    while (!queue_.empty() && !busy() && !close_) {
        std::string line = std::move(queue_.front());
        queue_.pop_front();
        if (loggedIn_)
            noise();
        say(line);  // the echo, byte for byte
        execute(line, nowMs);
    }
    if (close_)
        queue_.clear();
}

void Session::preamble()
{
    const Faults& f = endpoint().faults;
    for (size_t i = 0; i < f.garbage; ++i) {
        noise_ = noise_ * 1103515245u + 12345u;
        out_ += i % 7 == 3 ? '\0' : static_cast<char>((noise_ >> 16) & 0xFF);
    }
    static const std::string floodLine = "flood flood flood flood flood flood flood flood flood flood\r\n";
    for (size_t n = 0; n < f.flood; n += floodLine.size())
        out_ += floodLine.substr(0, f.flood - n);
}

// What a console or a chatty daemon prints between two commands: it comes
// before the echo, so only a reply read from its own lines survives it.
void Session::noise()
{
    const size_t n = endpoint().faults.noise;
    static const std::string pieces[] = {"\x1b]0;owned\x07",
                                         "\x1b[2J\x1b[31m",
                                         "0042\r\n",
                                         "kernel: eth0 up\r\n",
                                         std::string("\0\xff\xfe", 3),
                                         "\r\n",
                                         "0099 "};
    std::string out;
    for (size_t i = 0; out.size() < n; ++i) {
        noise_ = noise_ * 1103515245u + 12345u;
        if (i % 2)
            out += pieces[(noise_ >> 16) % std::size(pieces)];
        else
            out += static_cast<char>(((noise_ >> 16) & 0x7F) | 0x80);
    }
    out_ += out.substr(0, n);
}

void Session::execute(const std::string& raw, int64_t nowMs)
{
    const std::string line = stripEol(raw);
    const auto argv = words(line);
    if (!loggedIn_) {
        if (argv.empty()) {
            say(banner());
        } else if (argv.size() == 1 && argv[0] == "root") {
            loggedIn_ = true;
            log_("login root");
            prompt();
        } else {
            log_("login refused " + line);
            say("\r\nLogin incorrect" + banner());
        }
        return;
    }
    if (argv.empty()) {
        prompt();
        return;
    }
    log_("cmd " + line);
    preamble();
    command(argv, line, nowMs);
    if (close_)
        return;
    const Faults& f = endpoint().faults;
    if (f.rebootAfter > 0 && ++commands_ >= f.rebootAfter) {
        log_("fault_reboot");
        reboot_ = close_ = true;
        return;
    }
    if (!busy())
        prompt();
}

void Session::command(const std::vector<std::string>& argv, const std::string& line, int64_t nowMs)
{
    Endpoint& ep = endpoint();
    const std::string& cmd = argv[0];
    const size_t n = argv.size();

    if (cmd == "node_query") {
        if (n < 2 || argv[1] != "--dump") {
            say("usage: node_query --dump\r\n");
            return;
        }
        std::string dump = fleet_.nodeDump(nowMs);
        if (ep.faults.cutDump >= 0 && static_cast<size_t>(ep.faults.cutDump) < dump.size()) {
            say(dump.substr(0, static_cast<size_t>(ep.faults.cutDump)));
            log_("fault_cut_dump");
            close_ = true;
            return;
        }
        say(dump);
    } else if (cmd == "lmparam") {
        if (n == 3 && argv[1] == "g") {
            std::string v = ep.lmparamValue(argv[2]);
            if (!v.empty())
                say(v + "\r\n");
        } else if (n == 2 && argv[1] == "dump") {
            say(ep.lmparamDump());
        } else {
            say("usage: lmparam g KEY | lmparam dump\r\n");
        }
    } else if (cmd == "cat") {
        if (n == 2 && argv[1] == "/etc/version")
            say("ast2500 initrd2m: " + ep.cfg.version + "\r\n");
        else
            say("cat: can't open '" + (n > 1 ? argv[1] : std::string()) + "': No such file or directory\r\n");
    } else if (cmd == "astparam") {
        if (n >= 3 && argv[1] == "s") {
            std::string value;
            for (size_t i = 3; i < n; ++i)
                value += (i > 3 ? " " : "") + argv[i];
            if (value.empty())
                ep.params.erase(argv[2]);
            else
                ep.params[argv[2]] = value;
            log_("astparam_set " + argv[2] + " " + value);
        } else if (n == 3 && argv[1] == "g") {
            auto it = ep.params.find(argv[2]);
            say(it == ep.params.end() ? "\"" + argv[2] + "\" not defined\r\n" : it->second + "\r\n");
        } else if (n == 2 && argv[1] == "save") {
            ep.saved = ep.params;
            log_("astparam_save");
        } else if (n == 2 && argv[1] == "dump") {
            for (auto& [k, v] : ep.params)
                say(k + "=" + v + "\r\n");
        } else {
            say("usage: astparam s KEY [VALUE] | g KEY | save | dump\r\n");
        }
    } else if (cmd == "e" && n == 2) {
        const std::string& ev = argv[1];
        unsigned a, b, c, d, m;
        char tail;
        if (ev == "e_chg_hostname") {
            ep.runningHostnameId = ep.param("hostname_id");
            log_("hostname " + ep.runningHostnameId);
        } else if (startsWith(ev, "e_reconnect::")) {
            std::string ch = ev.substr(13);
            if (validChannel(ch)) {
                const char* key = ep.cfg.isTx ? "ch_select" : "ch_select_v";
                ep.runningChannel = ch;
                ep.params[key] = ep.saved[key] = ch;
                log_("reconnect " + ch);
            } else {
                log_("reconnect_invalid " + ch);
            }
        } else if (std::sscanf(ev.c_str(), "e_vw_enable_%u_%u_%u_%u_%u%c", &a, &b, &c, &d, &m, &tail) == 5) {
            log_("wall_enable " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
                 std::to_string(d) + " " + std::to_string(m));
        } else if (std::sscanf(ev.c_str(), "e_vw_stretch_type_%u%c", &a, &tail) == 1) {
            log_("wall_stretch " + std::to_string(a));
        } else if (std::sscanf(ev.c_str(), "e_vw_rotate_%u%c", &a, &tail) == 1) {
            log_("wall_rotate " + std::to_string(a));
        } else {
            log_("event " + ev);
        }
    } else if (cmd == "big_osd_on.sh") {
        std::string num = n > 1 ? argv[1] : "";
        if (num.size() >= 2 && num.front() == '"' && num.back() == '"')
            num = num.substr(1, num.size() - 2);
        log_("osd_on " + num);
    } else if (cmd == "osd_off.sh") {
        log_("osd_off " + (n > 1 ? argv[1] : std::string()));
    } else if (cmd == "reboot") {
        log_("reboot");
        reboot_ = close_ = true;
    } else if (cmd == "reset_to_default.sh") {
        ep.resetToDefault();
        log_("reset_to_default");
    } else if (cmd == "cd") {
        // Every upgrade step works in one directory per endpoint.
    } else if (cmd == "tftp") {
        tftp(argv);
    } else if (cmd == "rm") {
        for (size_t i = 1; i < n; ++i) {
            if (argv[i] == "-f")
                continue;
            for (auto it = files_.begin(); it != files_.end();) {
                if (globMatch(argv[i], *it)) {
                    if (!opts_.workDir.empty())
                        ::remove((opts_.workDir + "/" + *it).c_str());
                    it = files_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    } else if (cmd == "mv" && n == 3) {
        if (!files_.count(argv[1]) || argv[2].find('/') != std::string::npos) {
            say("mv: can't rename '" + argv[1] + "': No such file or directory\r\n");
        } else {
            if (!opts_.workDir.empty())
                ::rename((opts_.workDir + "/" + argv[1]).c_str(), (opts_.workDir + "/" + argv[2]).c_str());
            files_.erase(argv[1]);
            files_.insert(argv[2]);
            log_("mv " + argv[1] + " " + argv[2]);
        }
    } else if (cmd == "/usr/local/bin/update_fw.sh") {
        if (files_.count("fw.tar.gz")) {
            long size = opts_.workDir.empty() ? -1 : fileSize(opts_.workDir + "/fw.tar.gz");
            say("Updating firmware, do not power off...\r\nUpdate done.\r\n");
            log_("update_fw fw.tar.gz bytes=" + std::to_string(size));
            // An image that starts with "version=X" line installs version X.
            if (!opts_.workDir.empty()) {
                std::ifstream image(opts_.workDir + "/fw.tar.gz", std::ios::binary);
                std::string first;
                std::getline(image, first);
                if (first.rfind("version=", 0) == 0 && first.size() > 8 && first.size() <= 40) {
                    endpoint().cfg.version = first.substr(8);
                    log_("version " + endpoint().cfg.version);
                }
            }
        } else {
            say("update_fw.sh: fw.tar.gz is missing\r\n");
            log_("update_fw missing");
        }
    } else if (cmd == "echo") {
        say(line.size() > 5 ? line.substr(5) + "\r\n" : "\r\n");
    } else if (cmd == "exit" || cmd == "logout") {
        close_ = true;
    } else {
        log_("unknown " + cmd);
        say("sh: " + cmd + ": not found\r\n");
    }
}

void Session::tftp(const std::vector<std::string>& argv)
{
    // Only the form the tool sends: tftp [-v] host -c get remote [local]
    std::string host, remote, local;
    size_t i = 1;
    while (i < argv.size() && argv[i] == "-v")
        ++i;
    if (i < argv.size() && argv[i] != "-c")
        host = argv[i++];
    if (i + 2 < argv.size() && argv[i] == "-c" && argv[i + 1] == "get") {
        remote = argv[i + 2];
        local = i + 3 < argv.size() ? argv[i + 3] : remote;
    }
    if (host.empty() || remote.empty()) {
        say("usage: tftp [-v] host -c get file\r\n");
        return;
    }
    // The fetched file must stay inside the endpoint's directory.
    if (local.find('/') != std::string::npos || local[0] == '.') {
        say("tftp: " + local + ": Permission denied\r\n");
        return;
    }
    log_("tftp_start " + host + " " + remote);
    const std::string header = "Connected to " + host + " (" + host + "), port 69\r\ngetting from " + host + ":" +
        remote + " to " + local + " [netascii]\r\n";
    switch (opts_.tftp) {
    case TftpMode::Real:
        if (opts_.workDir.empty()) {
            say("tftp: no working directory\r\n");
            log_("tftp_done status=-1 nofile");
            return;
        }
        job_ = TftpJob{{opts_.tftpClient, "-v", host, "-c", "get", remote, local}, opts_.workDir, local};
        return;
    case TftpMode::Ok: {
        const std::string content = "simulated firmware image\n";
        std::string path = opts_.workDir.empty() ? local : opts_.workDir + "/" + local;
        if (!opts_.workDir.empty())
            if (FILE* f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(content.data(), 1, content.size(), f);
                std::fclose(f);
            }
        files_.insert(local);
        say(header + "Received " + std::to_string(content.size()) + " bytes in 0.0 seconds\r\n");
        log_("tftp_done status=0 file=" + path + " bytes=" + std::to_string(content.size()));
        return;
    }
    case TftpMode::NotFound:
        say(header + "Error code 1: File not found\r\n");
        log_("tftp_done status=1 nofile");
        return;
    case TftpMode::Timeout:
        say(header + "Transfer timed out.\r\n\r\n");
        log_("tftp_done status=1 nofile");
        return;
    }
}

void Session::tftpFinished(int status, int64_t nowMs)
{
    const std::string file = lastJobFile_;
    std::string path = opts_.workDir + "/" + file;
    long size = fileSize(path);
    // tftp-hpa leaves an empty file behind when the transfer fails.
    if (size > 0 && status == 0) {
        files_.insert(file);
        log_("tftp_done status=0 file=" + path + " bytes=" + std::to_string(size));
    } else {
        if (size >= 0)
            ::remove(path.c_str());
        log_("tftp_done status=" + std::to_string(status) + " nofile");
    }
    jobRunning_ = false;
    if (close_)
        return;
    prompt();
    run(nowMs);
}

}  // namespace esim
