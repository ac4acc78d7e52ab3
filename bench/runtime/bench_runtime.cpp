// Prints latency, throughput, timer lateness and idle CPU figures of the runtime.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/sync/channel.hpp"
#include "runtime/time/sleep.hpp"

using namespace drovik::rt;
using namespace std::chrono_literals;
using Micros = std::chrono::duration<double, std::micro>;

namespace {

void print_distribution(const char* what, std::vector<double> samples_us) {
    std::sort(samples_us.begin(), samples_us.end());
    auto at = [&](double q) { return samples_us[static_cast<std::size_t>(q * (samples_us.size() - 1))]; };
    std::printf("%-44s n=%-6zu p50=%9.1f us  p99=%9.1f us  max=%9.1f us\n", what, samples_us.size(), at(0.5),
                at(0.99), samples_us.back());
}

Task<void> nothing() { co_return; }

Task<std::vector<double>> spawn_join_latency(Runtime* rt, int rounds) {
    std::vector<double> samples;
    samples.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        auto done = co_await rt->spawn(nothing());
        samples.push_back(Micros(Clock::now() - start).count());
        if (!done) break;
    }
    co_return samples;
}

Task<void> count(std::atomic<int>* done) {
    done->fetch_add(1, std::memory_order_relaxed);
    co_return;
}

void spawn_throughput(Runtime& rt, int tasks) {
    std::atomic<int> done{0};
    auto start = Clock::now();
    for (int i = 0; i < tasks; ++i) {
        auto detached = rt.spawn(count(&done));
    }
    while (done.load(std::memory_order_relaxed) < tasks) std::this_thread::yield();
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-44s %d tasks in %.3f s = %.0f tasks/s\n", "spawn throughput (from one thread)", tasks, secs,
                tasks / secs);
}

Task<std::vector<double>> receive_latencies(Receiver<Clock::time_point> rx) {
    std::vector<double> samples;
    while (auto sent = co_await rx.recv()) samples.push_back(Micros(Clock::now() - *sent).count());
    co_return samples;
}

void cross_thread_wakeup(Runtime& rt, int rounds) {
    auto [tx, rx] = channel<Clock::time_point>();
    auto consumer = rt.spawn(receive_latencies(std::move(rx)));
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(300us);  // let the consumer park before each send
        (void)tx.send(Clock::now());
    }
    { auto last = std::move(tx); }
    auto samples = rt.block_on([](JoinHandle<std::vector<double>>* h) -> Task<std::vector<double>> {
        auto r = co_await *h;
        co_return r ? std::move(r).value() : std::vector<double>{};
    }(&consumer));
    print_distribution("cross-thread wake-up (send -> task resumes)", samples.value());
}

struct Lateness {
    std::vector<double> after_deadline;  // includes the rounding up to the next tick
    std::vector<double> after_tick;      // the driver's own delay
};

Task<Lateness> sleep_lateness(Clock::duration d, int rounds) {
    Lateness late;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        auto sleep = sleep_for(d);
        auto tick = sleep.due();
        co_await std::move(sleep);
        auto end = Clock::now();
        late.after_deadline.push_back(Micros(end - (start + d)).count());
        late.after_tick.push_back(Micros(end - tick).count());
    }
    co_return late;
}

void timer_lateness(Runtime& rt, Clock::duration d, int rounds, const char* label) {
    auto late = rt.block_on([](Runtime* rt, Clock::duration d, int rounds) -> Task<Lateness> {
        auto r = co_await rt->spawn(sleep_lateness(d, rounds));
        co_return r ? std::move(r).value() : Lateness{};
    }(&rt, d, rounds));
    std::printf("timer lateness, %s sleeps:\n", label);
    print_distribution("  after the requested deadline", late.value().after_deadline);
    print_distribution("  after its millisecond tick", late.value().after_tick);
}

double process_cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

Task<void> wait_forever(Receiver<int> rx) {
    while (co_await rx.recv()) {
    }
}

void idle_cpu(Runtime& rt) {
    // An idle runtime with a parked task and a far-away timer: nothing should run.
    auto [tx, rx] = channel<int>();
    auto parked = rt.spawn(wait_forever(std::move(rx)));
    auto sleeper = rt.spawn([]() -> Task<void> { co_await sleep_for(std::chrono::hours(1)); }());
    std::this_thread::sleep_for(100ms);
    double before = process_cpu_ms();
    std::this_thread::sleep_for(5s);
    double used = process_cpu_ms() - before;
    std::printf("%-44s %.3f ms over 5 s (target < 10 ms)\n", "CPU time of an idle runtime", used);
    sleeper.abort();
}

}  // namespace

int main() {
    auto created = Runtime::create(RuntimeConfig::for_this_process());
    if (!created) {
        std::fprintf(stderr, "runtime: %s\n", created.error().text.c_str());
        return 1;
    }
    Runtime& rt = *created.value();
    std::printf("workers: %zu\n", rt.worker_count());

    auto latency = rt.block_on(spawn_join_latency(&rt, 20000));
    print_distribution("spawn -> completion -> join (from a task)", latency.value());
    spawn_throughput(rt, 200000);
    cross_thread_wakeup(rt, 2000);
    timer_lateness(rt, 1ms, 500, "1 ms");
    timer_lateness(rt, 10ms, 200, "10 ms");
    idle_cpu(rt);
    return 0;
}
