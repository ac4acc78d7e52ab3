#include "comm/can/ready_wait.hpp"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace drovik::comm::can {

namespace {

constexpr auto kRefusalPause = std::chrono::milliseconds(1);

int slice_ms(rt::Deadline deadline) {
    if (deadline.is_never()) return static_cast<int>(kWaitSlice.count());
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.instant() - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kWaitSlice.count()));
}

}  // namespace

WaitEnd wait_ready(int fd, short events, rt::Deadline deadline, KeepWaiting keep_waiting) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int timeout = slice_ms(deadline);
        int n = ::poll(&entry, 1, timeout);
        if (n > 0) return WaitEnd::Ready;
        if (!keep_waiting()) return WaitEnd::Interrupted;
        if (deadline.passed()) return WaitEnd::TimedOut;
    }
}

int read_waiting(socketcan::CANSocket& socket, rt::Deadline deadline, Clock::time_point now,
                 KeepWaiting keep_waiting, socketcan::CANFrame& frame) {
    for (;;) {
        int failure = EAGAIN;
        if (deadline.is_never() || deadline.instant() - now >= kWaitSlice) {
            failure = socket.read_frame_waiting(frame);
        } else {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.instant() - now).count();
            pollfd entry{socket.fd(), POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(std::max<decltype(left)>(left, 0))) > 0) {
                failure = socket.read_frame(frame);
            }
        }
        if (failure != EAGAIN && failure != EINTR) return failure;
        if (!keep_waiting()) return EINTR;
        now = Clock::now();
        if (deadline.passed(now)) return EAGAIN;
    }
}

WaitEnd wait_writable_after_refusal(int fd, KeepWaiting keep_waiting) {
    auto pause = Clock::now() + kRefusalPause;
    if (auto end = wait_ready(fd, POLLOUT, rt::Deadline::never(), keep_waiting); end != WaitEnd::Ready) return end;
    timespec until{};
    auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(pause.time_since_epoch()).count();
    until.tv_sec = static_cast<time_t>(since_epoch / 1'000'000'000);
    until.tv_nsec = static_cast<long>(since_epoch % 1'000'000'000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
        if (!keep_waiting()) return WaitEnd::Interrupted;
    }
    return WaitEnd::Ready;
}

}  // namespace drovik::comm::can
