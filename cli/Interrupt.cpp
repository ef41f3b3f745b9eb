#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace cv::cli::interrupt {

namespace {
// Read and written from a signal handler: lock-free atomics only.
std::atomic<int> g_signals{0};
std::atomic<long> g_planned{0}, g_started{0}, g_finished{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free);

// Appends text or a number to buf without the C library, which is not
// safe to call in a handler.
struct Line {
    char buf[256];
    std::size_t n = 0;
    Line& operator<<(const char* s)
    {
        while (*s && n < sizeof buf)
            buf[n++] = *s++;
        return *this;
    }
    Line& operator<<(long v)
    {
        char digits[24];
        std::size_t d = 0;
        if (v < 0)
            v = 0;
        do {
            digits[d++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && d < sizeof digits);
        while (d && n < sizeof buf)
            buf[n++] = digits[--d];
        return *this;
    }
    void Write() const { (void)!::write(STDERR_FILENO, buf, n); }
};

std::atomic<bool> g_jsonOnQuit{false};

void OnSignal(int)
{
    const int saved = errno;
    if (g_signals.fetch_add(1) == 0) {
        Line l;
        l << "cortavia-cli: stopping: nothing new starts; endpoints already being changed are seen through "
             "(press Ctrl-C again to quit at once)\n";
        l.Write();
        errno = saved;
        return;
    }
    const long planned = g_planned.load(), started = g_started.load(), finished = g_finished.load();
    Line l;
    l << "cortavia-cli: quit at once: " << finished << " endpoint(s) done, " << (started - finished)
      << " left mid-operation in an unknown state, " << (planned - started) << " not started\n";
    l.Write();
    if (g_jsonOnQuit.load())
        (void)!::write(STDOUT_FILENO, "[]\n", 3);
    ::_exit(kExitInterrupted);
}
}  // namespace

void InstallHandlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // Interrupted reads and polls resume; the run looks at the flag between
    // steps, never inside one.
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

bool Requested() { return g_signals.load() > 0; }

void Request() { g_signals.fetch_add(1); }

void Reset()
{
    g_signals = 0;
    g_planned = g_started = g_finished = 0;
}

void JsonOnQuit(bool on) { g_jsonOnQuit = on; }

void Planned(std::size_t endpoints) { g_planned += static_cast<long>(endpoints); }
void Started() { ++g_started; }
void Finished() { ++g_finished; }

}  // namespace cv::cli::interrupt
