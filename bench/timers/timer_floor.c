/* Sleep-then-spin on a fixed grid, as the precision timer thread does, with an
 * empty call. Prints the interval errors against the period and the achieved
 * rate as one JSON line.
 * Usage: timer_floor FREQUENCY_HZ SPIN_THRESHOLD_US SECONDS */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>

#include "floor_sleep.h"

static int by_value(const void* a, const void* b) {
    int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s FREQUENCY_HZ SPIN_THRESHOLD_US SECONDS\n", argv[0]);
        return 2;
    }
    double hz = atof(argv[1]);
    int64_t spin_ns = (int64_t)(atof(argv[2]) * 1000.0);
    double seconds = atof(argv[3]);
    int64_t period = (int64_t)(1e9 / hz + 0.5);
    precise_timer_slack();
    size_t count = (size_t)(hz * seconds) + 1;
    int64_t* calls = malloc(count * sizeof *calls);
    int64_t* errors = malloc(count * sizeof *errors);
    if (calls == NULL || errors == NULL) return 1;

    int64_t next = now_ns() + period;
    for (size_t i = 0; i < count; ++i) {
        calls[i] = now_ns();
        sleep_until(next, spin_ns);
        next += period;
        int64_t now = now_ns();
        if (now > next) next += period * ((now - next) / period + 1);
    }
    for (size_t i = 1; i < count; ++i) errors[i - 1] = llabs(calls[i] - calls[i - 1] - period);
    size_t n = count - 1;
    qsort(errors, n, sizeof *errors, by_value);
    double rate = (double)n / ((double)(calls[n] - calls[0]) / 1e9);
    printf("{\"p50_us\": %.2f, \"p99_us\": %.2f, \"max_us\": %.2f, \"rate_hz\": %.2f}\n", errors[n / 2] / 1e3,
           errors[n * 99 / 100] / 1e3, errors[n - 1] / 1e3, rate);
    free(calls);
    free(errors);
    return 0;
}
