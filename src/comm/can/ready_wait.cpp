#include "comm/can/ready_wait.hpp"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

namespace drovik::comm::can {

namespace {

constexpr auto kRefusalPause = std::chrono::milliseconds(1);

// Errors and hang-ups count as writable: the next write reports them.
WaitEnd wait_writable(int fd, KeepWaiting keep_waiting) {
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, static_cast<int>(kWaitSlice.count())) > 0) return WaitEnd::Ready;
        if (!keep_waiting()) return WaitEnd::Interrupted;
    }
}

}  // namespace

rt::Result<socketcan::CANSocket> open_socket(std::string_view interface) noexcept {
    auto socket = socketcan::CANSocket::open(interface);
    if (!socket) return socket.error();
    if (!socket->set_read_wait_limit(kWaitSlice)) return rt::Error{rt::ErrorKind::Other, socketcan::kIoErrorText};
    return socket;
}

int read_waiting(socketcan::CANSocket& socket, std::optional<std::uint64_t> limit_ms, KeepWaiting keep_waiting,
                 socketcan::CANFrame& frame) {
    constexpr auto kSliceMs = static_cast<std::uint64_t>(kWaitSlice.count());
    std::optional<rt::Deadline> deadline;  // made once a wait ended without a data frame
    Clock::time_point now;
    for (;;) {
        bool unlimited = deadline ? deadline->is_never() : !limit_ms;
        std::uint64_t left_ms = kSliceMs;
        if (!unlimited && deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline->instant() - now).count();
            left_ms = static_cast<std::uint64_t>(std::max<decltype(left)>(left, 0));
        } else if (!unlimited) {
            left_ms = *limit_ms;
        }
        int failure = EAGAIN;
        std::uint64_t waited_ms = 0;  // known to have passed in this wait
        if (left_ms >= kSliceMs) {
            failure = socket.read_frame_waiting(frame);
            if (failure == EAGAIN) waited_ms = kSliceMs;
        } else {
            pollfd entry{socket.fd(), POLLIN, 0};
            int ready = ::poll(&entry, 1, static_cast<int>(left_ms));
            if (ready > 0) failure = socket.read_frame(frame);
            if (ready == 0) waited_ms = left_ms;
            if (ready < 0) failure = errno;
        }
        if (failure == 0 && !frame.remote()) return 0;
        if (failure != 0 && failure != EAGAIN && failure != EINTR) return failure;
        if (failure != 0 && !keep_waiting()) return EINTR;
        now = Clock::now();
        if (!deadline) {
            // A wait cut short by a signal or a remote request took an unknown part of it:
            // the limit then counts from now, late by less than that one wait.
            deadline = rt::Deadline::after_ms(
                limit_ms ? std::optional<std::uint64_t>(*limit_ms - std::min(*limit_ms, waited_ms)) : std::nullopt,
                now);
        }
        // After a remote request the next frame may already be there: it is read even with no time left.
        if (failure != 0 && deadline->passed(now)) return EAGAIN;
    }
}

WaitEnd wait_writable_after_refusal(int fd, KeepWaiting keep_waiting) {
    auto pause = Clock::now() + kRefusalPause;
    if (auto end = wait_writable(fd, keep_waiting); end != WaitEnd::Ready) return end;
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
