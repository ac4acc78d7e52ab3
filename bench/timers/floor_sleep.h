/* The precision timer's sleep-then-spin wait, in plain C, for the floors the
 * timers are measured against. */
#pragma once
#include <stdint.h>
#include <sys/prctl.h>
#include <time.h>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SPIN_HINT() _mm_pause()
#else
#define SPIN_HINT() ((void)0)
#endif

static inline int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* As the precision timer's thread does: its sleeps end when asked, not up to
 * the default 50 us later. */
static inline void precise_timer_slack(void) { prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); }

static inline void sleep_until(int64_t deadline, int64_t spin_ns) {
    int64_t now = now_ns();
    if (now >= deadline) return;
    int64_t remaining = deadline - now;
    if (remaining > spin_ns) {
        int64_t nap = remaining - spin_ns;
        struct timespec ts = {nap / 1000000000, nap % 1000000000};
        nanosleep(&ts, NULL);
    }
    while (now_ns() < deadline) SPIN_HINT();
}

