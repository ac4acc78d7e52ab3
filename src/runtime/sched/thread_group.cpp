#include "runtime/sched/thread_group.hpp"

#include <pthread.h>

#include <memory>
#include <semaphore>
#include <utility>

#include "runtime/os_error.hpp"

namespace drovik::rt {

namespace {
struct Start {
    ThreadGroup* group;
    std::function<void()> body;
    std::binary_semaphore* named;  // released once the thread carries its name
};
}  // namespace

Result<void> ThreadGroup::spawn(std::function<void()> body) {
    std::binary_semaphore named(0);
    auto start = std::make_unique<Start>(Start{this, std::move(body), &named});
    {
        std::lock_guard lock(mu_);
        ++live_;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &ThreadGroup::thread_main, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        on_exit();
        return os_error(rc);
    }
    start.release();
    // A thread is only counted as started once it shows its name: callers (and
    // anyone listing the process's threads) never see an unnamed runtime thread.
    named.acquire();
    return {};
}

void* ThreadGroup::thread_main(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    pthread_setname_np(pthread_self(), kThreadName);
    std::exchange(start->named, nullptr)->release();
    start->body();
    ThreadGroup* group = start->group;
    start.reset();
    group->on_exit();
    return nullptr;
}

void ThreadGroup::on_exit() {
    std::lock_guard lock(mu_);
    --live_;
    cv_.notify_all();
}

void ThreadGroup::wait_all() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return live_ == 0; });
}

std::size_t ThreadGroup::live() {
    std::lock_guard lock(mu_);
    return live_;
}

}  // namespace drovik::rt
