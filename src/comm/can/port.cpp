#include "comm/can/port.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>

#include "diag/stderr_line.hpp"
#include "runtime/io/io_registration.hpp"
#include "runtime/os_error.hpp"

namespace drovik::comm::can {

namespace {

constexpr std::size_t kBatch = socketcan::CANSocket::kMostPerBatch;
// How long a socket found empty by a spinning reader counts as still empty. A
// control loop reads each of a group's devices in turn, a microsecond or two
// apart: one read serves them all, where each would have found nothing more. A
// frame takes tens of microseconds on the wire, so it is seen this much later
// at worst, and only by a reader that looked again this soon.
constexpr auto kFoundEmptyFor = std::chrono::microseconds(5);

// Without a clock read in user space (user-mode Linux, some boards) a clock read
// is a system call, as dear as the read it would spare: then every catch_up reads.
bool clock_is_cheap() noexcept {
    auto least = rt::Clock::duration::max();
    for (int i = 0; i < 4; ++i) {
        const auto before = rt::Clock::now();
        least = std::min(least, rt::Clock::now() - before);
    }
    return least < std::chrono::microseconds(1);
}

}  // namespace

void Port::open(CanDevice device) {
    device_.emplace(std::move(device));
    opened_.store(true, std::memory_order_release);
}

void Port::end() {
    {
        Held held(receive_lock_);
        ended_ = true;
    }
    frame_taken_.notify_all();
}

void Port::detach() {
    std::shared_ptr<FrameSink> gone;  // released after the lock
    Held held(receive_lock_);
    gone = std::move(sink_);
}

bool Port::keep_task_off(const rt::Waker& task) {
    Held held(receive_lock_);
    if (!lent_.load(std::memory_order_relaxed)) return false;
    rt::store_waker(task_waker_, task);
    return true;
}

Port::Reclaim Port::reclaim(std::uint64_t turns_seen, const rt::Waker& task) {
    Held held(receive_lock_);
    if (!lent_.load(std::memory_order_relaxed)) return Reclaim::Taken;
    if (caller_turns_.load(std::memory_order_relaxed) != turns_seen) return Reclaim::TurnsCame;
    if (direct_reader_) {
        rt::store_waker(task_waker_, task);
        return Reclaim::CallerInside;
    }
    lent_.store(false, std::memory_order_release);
    // A failure only costs the reads that arrivals would have woken.
    (void)device_->watch_reads(true);
    return Reclaim::Taken;
}

std::optional<Port::Read> Port::read_for_task(rt::ReadinessWait& ready, rt::Context& cx) {
    Held held(receive_lock_);
    if (lent_.load(std::memory_order_relaxed) || !ready.poll(cx)) return std::nullopt;
    Read read = read_batch(held);
    if (read.failure == EAGAIN) device_->clear_read_ready();
    return read;
}

Port::Read Port::read_batch(Held& held) {
    Read read;
    while (sink_ && !sink_->has_room(kBatch)) {
        std::shared_ptr<FrameSink> sink = sink_;  // kept while the lock is let go
        sink->make_room(held);
    }
    if (!sink_) {
        read.taken = false;
        return read;
    }
    // A call's waiting read took the socket while the lock was let go: what it
    // holds is that call's, or a frame read there would overtake these.
    if (direct_reader_) {
        read.failure = EAGAIN;
        return read;
    }
    std::array<socketcan::CANFrame, kBatch> frames;
    std::array<std::int64_t, kBatch> received_ns;
    auto batch = device_->read(frames, received_ns);
    SinkLines lines;
    for (std::size_t i = 0; i < batch.count && read.taken; ++i) read.taken = sink_->take(frames[i], received_ns[i], lines);
    read.frames = batch.count;
    read.failure = batch.failure;
    if (!lines.empty()) {
        held.unlock();
        lines.write();
        held.lock();
    }
    return read;
}

Port::Read Port::read_all(Held& held) {
    Read read;
    std::size_t frames = 0;
    do {
        read = read_batch(held);
        frames += read.frames;
    } while (read.taken && read.failure == 0);
    read.frames = frames;
    return read;
}

Port::Read Port::read_now(Held& held) {
    Read read = read_all(held);
    if (read.taken && read.failure != EAGAIN) {
        held.unlock();
        report_receive_failure(rt::os_error(read.failure));
        held.lock();
    }
    return read;
}

void Port::lend(Held&, Loan loan) {
    if (!lent_.load(std::memory_order_relaxed)) {
        // Woken out of its wait for readability to keep off for the lease instead.
        // A call's loan leaves it waiting there: with read events off, nothing wakes
        // it before the call gives the socket back and turns them on again.
        if (loan == Loan::Lease) device_->take_reader().wake();
        // A failure only costs the reactor's wake-ups meanwhile.
        (void)device_->watch_reads(false);
        lent_.store(true, std::memory_order_release);
    }
    caller_turns_.store(caller_turns_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (loan == Loan::Call) direct_reader_ = true;
}

bool Port::lend_for_call(Held& held) {
    if (direct_reader_) return false;
    lend(held, Loan::Call);
    return true;
}

void Port::give_back(Held& held) {
    give_back_unlocking(held);
    frame_taken_.notify_all();
}

rt::Waker Port::give_back_locked() {
    direct_reader_ = false;
    lent_.store(false, std::memory_order_release);
    // Switching read events on again raises one at once when a frame is already there.
    (void)device_->watch_reads(true);
    return std::move(task_waker_);
}

void Port::give_back_unlocking(Held& held) {
    rt::Waker task = give_back_locked();
    held.unlock();
    task.wake();
}

void Port::catch_up() {
    if (device() == nullptr) return;
    static const bool timed = clock_is_cheap();  // outside the lock: a millisecond in the guest
    // Blocks rather than skips when the task is handing a frame over: on one CPU a
    // reader that skipped would spin without a system call, and so without giving
    // the task the processor back, until the scheduler's next tick.
    Held held(receive_lock_);
    if (!sink_ || direct_reader_) return;
    // The turn counts even when it reads nothing, so that the lease goes on.
    lend(held, Loan::Lease);
    std::optional<rt::Clock::time_point> began;
    if (timed) {
        began = rt::Clock::now();
        if (*began - found_empty_ < kFoundEmptyFor) return;
    }
    Read read = read_all(held);
    if (began && read.failure == EAGAIN) found_empty_ = *began;
    bool failed = read.taken && read.failure != EAGAIN;
    // A burst, a failure or the task's end: the task reads on, woken by each arrival.
    if (!read.taken || failed || read.frames > kBatch) {
        give_back_unlocking(held);
        if (failed) report_receive_failure(rt::os_error(read.failure));
    }
}

void report_send_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to send CAN frame: " + error.text);
}

void report_receive_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to receive CAN frame: " + error.text);
}

std::optional<Port::WriteTurn> Port::write_turn(bool wait) {
    // Looked at before the lock too, so that a caller behind queued frames does
    // not contend with the task's writes.
    if (!wait && unsent_.load(std::memory_order_acquire) != 0) return std::nullopt;
    WriteTurn turn(send_lock_, std::defer_lock);
    if (wait) {
        turn.lock();
    } else if (!turn.try_lock()) {
        return std::nullopt;
    }
    if (unsent_.load(std::memory_order_acquire) != 0) return std::nullopt;
    return turn;
}

int Port::write_for_task(CanDevice& device, const socketcan::CANFrame& frame) {
    std::lock_guard lock(send_lock_);
    return device.write(frame);
}

}  // namespace drovik::comm::can
