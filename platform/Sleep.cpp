#include "platform/Sleep.h"

#include <chrono>
#include <thread>
#include <utility>

namespace platform {
namespace {
SleepHandler& handler()
{
    static SleepHandler h;
    return h;
}
}  // namespace

void Sleep(unsigned ms)
{
    if (handler()) {
        handler()(ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SleepHandler SetSleepHandler(SleepHandler h) { return std::exchange(handler(), std::move(h)); }

}  // namespace platform
