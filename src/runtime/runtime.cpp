#include "runtime/runtime.hpp"

#include <sched.h>

#include <atomic>
#include <mutex>

#include "runtime/fork.hpp"

namespace drovik::rt {

namespace {
thread_local Runtime* this_thread_runtime = nullptr;
thread_local Runtime* this_thread_job_runtime = nullptr;  // set while the thread runs a job
}  // namespace

std::size_t usable_cpus() noexcept {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? static_cast<std::size_t>(CPU_COUNT(&cpus)) : 0;
}

RuntimeConfig RuntimeConfig::for_this_process() {
    RuntimeConfig config;
    if (const std::size_t cpus = usable_cpus(); cpus > 0) config.workers = cpus;
    config.max_job_threads = 4 * config.workers;
    return config;
}

Result<std::unique_ptr<Runtime>> Runtime::create(const RuntimeConfig& config) {
    auto reactor = Reactor::create();
    if (!reactor) return reactor.error();
    std::unique_ptr<Runtime> rt(new Runtime(config, std::move(reactor).value()));
    if (auto started = rt->scheduler_->start(); !started) return started.error();
    return rt;
}

Runtime::Runtime(const RuntimeConfig& config, std::unique_ptr<Reactor> reactor)
    : reactor_(std::move(reactor)),
      blocking_(std::make_unique<BlockingPool>(threads_, config.max_blocking_threads,
                                               config.blocking_idle_timeout)),
      jobs_(std::make_unique<BlockingPool>(threads_, config.max_job_threads, config.blocking_idle_timeout)),
      scheduler_(std::make_unique<Scheduler>(*this, *reactor_, threads_, config.workers)) {}

Runtime::~Runtime() {
    scheduler_->shutdown();
    blocking_->shutdown();
    jobs_->shutdown();
    threads_.wait_all();
    scheduler_.reset();
    blocking_.reset();
    jobs_.reset();
}

Result<void> Runtime::spawn_job(std::function<void()> job) {
    // Every user job starts here, on a job thread, never on a worker.
    return jobs_->submit(
        [this, job = std::move(job)] {
            JobStep step;
            this_thread_job_runtime = this;
            job();
            this_thread_job_runtime = nullptr;
        },
        [] {});
}

JobWait::JobWait() : pool_(this_thread_job_runtime ? &this_thread_job_runtime->job_pool() : nullptr) {
    if (pool_ != nullptr) pool_->lend();
}

JobWait::~JobWait() {
    if (pool_ != nullptr) pool_->give_back();
}

RuntimeScope::RuntimeScope(Runtime& runtime) : outer_(std::exchange(this_thread_runtime, &runtime)) {}
RuntimeScope::~RuntimeScope() { this_thread_runtime = outer_; }

Runtime* current_runtime() noexcept { return this_thread_runtime; }

Result<Runtime*> runtime() {
    enum State { kNotCreated, kReady, kFailed };
    static std::atomic<int> state{kNotCreated};
    static std::mutex creating;
    static Runtime* shared = nullptr;

    auto outcome = [](int s) -> Result<Runtime*> {
        if (s == kReady) return shared;
        return Error{ErrorKind::Other, "the asynchronous runtime is unusable: its creation failed earlier"};
    };
    if (in_child_forked_after_start()) {
        return Error{ErrorKind::Other, "the asynchronous runtime does not survive fork(): this process was forked "
                                       "after it started"};
    }
    if (int s = state.load(std::memory_order_acquire); s != kNotCreated) return outcome(s);

    std::lock_guard lock(creating);
    if (int s = state.load(std::memory_order_acquire); s != kNotCreated) return outcome(s);
    auto created = Runtime::create(RuntimeConfig::for_this_process());
    if (!created) {
        state.store(kFailed, std::memory_order_release);
        return Error{ErrorKind::Other, "creating the asynchronous runtime failed: " + created.error().text};
    }
    // Lives until the process ends; its threads are never joined.
    shared = std::move(created).value().release();
    mark_children_forked_from_now_on();
    state.store(kReady, std::memory_order_release);
    return shared;
}

}  // namespace drovik::rt
