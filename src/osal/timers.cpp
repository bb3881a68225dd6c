// Interval timers on the high-resolution counter.
#include "hbsys9u.h"
#include "platform/platform.h"

namespace platform = hb::platform;

extern "C" {

// Lets std::bad_alloc pass when memory is exhausted.
TimerRecord* hb__TimerCreate(void) {
    auto* timer = new TimerRecord;
    timer->secondsPerTick = 1.0 / static_cast<double>(platform::counterFrequency());
    timer->startCount = 0;
    return timer;
}

void hb__TimerDestroy(TimerRecord* timer) {
    delete timer;
}

int32_t hb__TimerStart(TimerRecord* timer) {
    timer->startCount = platform::counterNow();
    return 1;
}

void hb__TimerReset(TimerRecord* timer) {
    timer->startCount = 0;
}

double hb__TimerRead(TimerRecord* timer) {
    int64_t now = platform::counterNow();
    return static_cast<double>(now - timer->startCount) * timer->secondsPerTick;
}

} // extern "C"
