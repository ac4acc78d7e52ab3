#include "runtime/sched/thread_group.hpp"

#include <pthread.h>

#include <memory>
#include <utility>

#include "runtime/os_error.hpp"

namespace drovik::rt {

namespace {
struct Start {
    ThreadGroup* group;
    std::function<void()> body;
};
}  // namespace

Result<void> ThreadGroup::spawn(std::function<void()> body) {
    auto start = std::make_unique<Start>(Start{this, std::move(body)});
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
    return {};
}

void* ThreadGroup::thread_main(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    pthread_setname_np(pthread_self(), kThreadName);
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
