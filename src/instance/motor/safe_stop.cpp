#include "instance/motor/safe_stop.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "diag/stderr_line.hpp"
#include "instance/motor/motor_group.hpp"
#include "instance/motor/stop_frame.hpp"

namespace drovik::motor {

namespace {

// Every group alive, by weak reference: the list keeps none of them alive.
class Groups {
public:
    void enlist(const std::shared_ptr<SafeStop>& group) {
        std::lock_guard guard(lock_);
        std::erase_if(groups_, [](const auto& weak) { return weak.expired(); });
        groups_.push_back(group);
    }

    std::vector<std::shared_ptr<SafeStop>> alive() {
        std::vector<std::shared_ptr<SafeStop>> found;
        std::lock_guard guard(lock_);
        for (const auto& weak : groups_) {
            if (auto group = weak.lock()) found.push_back(std::move(group));
        }
        return found;
    }

private:
    std::mutex lock_;
    std::vector<std::weak_ptr<SafeStop>> groups_;  // guarded by lock_
};

Groups& groups() {
    static Groups* all = new Groups;  // never destroyed: the exit may still stop them
    return *all;
}

}  // namespace

SafeStop::SafeStop(std::shared_ptr<DeviceList> list, std::weak_ptr<comm::can::Port> port)
    : list_(std::move(list)), port_(std::move(port)) {}

std::shared_ptr<SafeStop> SafeStop::create(std::shared_ptr<DeviceList> list, std::weak_ptr<comm::can::Port> port) {
    auto group = std::make_shared<SafeStop>(std::move(list), std::move(port));
    groups().enlist(group);
    return group;
}

std::optional<std::unique_lock<std::mutex>> SafeStop::admit(Caller caller) {
    std::unique_lock guard(lock_);
    if (hold_->holds_back(caller)) return std::nullopt;
    if (caller == Caller::Program) hold_->lift();  // the program speaks again
    return guard;
}

void SafeStop::stop() {
    std::lock_guard guard(lock_);
    if (!retired_) stop_locked();
}

void SafeStop::retire() {
    std::lock_guard guard(lock_);
    if (!retired_) stop_locked();
    retired_ = true;
}

void SafeStop::stop_locked() {
    auto message = list_->frame(DeviceList::Frame::Stop);
    if (!message) return;
    hold_->set();
    // The port outlives the group's socket only as long as its task runs.
    if (auto port = port_.lock()) send_stop_frame(*port, *message);
}

void stop_every_group() noexcept {
    try {
        for (const auto& group : groups().alive()) group->stop();
    } catch (const std::exception& failure) {
        diag::report_internal_failure(failure.what());
    }
}

}  // namespace drovik::motor
