// The port: what the socket task of a CanDeviceAsync shares with the device's
// callers, and the protocol by which they share the socket.
//
// Writes. send_lock_ is held for each write. A caller writes on its own thread
// only with the lock held and nothing queued for the task still unsent
// (unsent_), and keeps the lock until what the kernel refused is queued: so no
// frame overtakes one sent before it.
//
// Reads. receive_lock_ is held for each read of the socket together with the
// hand-over of what it gave to the sink, so frames reach the sink in bus order
// whoever reads them; every field below it is guarded by it. Nothing allocates
// or writes while it is held: the sink makes room beforehand (make_room, which
// lets the lock go meanwhile), and the lines a hand-over leaves are written
// once it is released.
//
// Who reads. The socket is the task's or lent to callers (lent_):
// - the task's: read events are on; each read event wakes the task, which reads
//   what the socket holds, a batch per hand-over. A caller that finds the sink
//   empty may read the socket too (read_now) without borrowing it.
// - lent: read events are off (arrivals wake no thread) and the task keeps off.
//   A caller inside a waiting read (direct_reader_) borrows it for that call and
//   gives it back as the call ends, the task left waiting for readability
//   meanwhile: neither end of such a loan wakes it, so a call costs two switches
//   of read events and no hand-over between threads. Such a call reads with the
//   lock let go, so while it does nobody else reads at all (no other call, no
//   batch): a frame it read would overtake theirs. A spinning reader of the sink
//   (catch_up) keeps it across calls: each of its turns counts (caller_turns_),
//   and the task, waking once a lease, lends it on when turns came during the
//   last lease and takes it back otherwise; a call still inside then gives it
//   back as it ends. So frames nobody asks for wait at most two leases, and a
//   turn that finds more than a batch waiting gives the socket back at once.
// Whoever gives the socket back wakes the task (task_waker_, stored by the task
// under the lock before it waits while the socket is lent). frame_taken_ is
// notified when the sink took a frame, when a call gave the socket back and when
// the task ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "comm/can/can_device.hpp"
#include "comm/socketcan/can_frame.hpp"
#include "diag/line_buffer.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/context.hpp"
#include "runtime/sched/waker.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::comm::can {

// Room for the lines of one batch's hand-over, one per frame at most.
using SinkLines = diag::LineBuffer<socketcan::CANSocket::kMostPerBatch * 96>;

// Where the frames read from the socket go. Every call but make_room comes with
// the port's receive lock held.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // In bus order, with the kernel's receive time (see CANSocket); never allocates.
    // Lines for standard error go to `lines`, written after the lock is released.
    // False when nobody takes frames any more.
    virtual bool take(const socketcan::CANFrame& frame, std::int64_t received_ns, SinkLines& lines) = 0;
    // Whether `frames` more can be taken without allocating.
    virtual bool has_room(std::size_t frames) const {
        (void)frames;
        return true;
    }
    // Called with the lock held (as `held`) when has_room said no: lets it go
    // while it allocates and takes it again.
    virtual void make_room(std::unique_lock<std::mutex>& held) { (void)held; }
};

class Port {
public:
    using Held = std::unique_lock<std::mutex>;

    // What a read of the socket gave: `frames` handed to the sink; `failure` is
    // EAGAIN when the socket was found empty, another errno when reading failed,
    // 0 when more may wait. `taken` is false once nobody takes frames.
    struct Read {
        std::size_t frames = 0;
        int failure = 0;
        bool taken = true;
    };
    enum class Reclaim { Taken, TurnsCame, CallerInside };

    // The sink comes before the task starts.
    void attach(std::shared_ptr<FrameSink> sink) { sink_ = std::move(sink); }

    // By the task once the socket is open; callers may use it from then on.
    void open(CanDevice device);
    // By the task as it ends: callers waiting for frames stop waiting.
    void end();
    // The open socket, or null before the task opened it (or when it could not).
    // Moved in before the flag is raised and never changed afterwards.
    CanDevice* device() noexcept { return opened_.load(std::memory_order_acquire) ? &*device_ : nullptr; }
    // By the device as it goes: the sink takes no more frames.
    void detach();

    Held hold() { return Held(receive_lock_); }
    bool ended(const Held&) const noexcept { return ended_; }
    void wait_for_frame(Held& held, rt::Clock::time_point until) { frame_taken_.wait_until(held, until); }
    void frame_taken() { frame_taken_.notify_one(); }

    // --- The task's side.
    bool lent() const noexcept { return lent_.load(std::memory_order_acquire); }
    std::uint64_t caller_turns() const noexcept { return caller_turns_.load(std::memory_order_acquire); }
    // Before the task waits while the socket is lent: false when it is not lent
    // (any more), else whoever gives it back wakes `task`.
    bool keep_task_off(const rt::Waker& task);
    // Once a lease passed with `turns_seen` caller turns.
    Reclaim reclaim(std::uint64_t turns_seen, const rt::Waker& task);
    // One batch read for the task once `ready` reports the socket readable; none
    // while the wait is pending or the socket is lent. Clears the readiness when
    // the socket was found empty.
    std::optional<Read> read_for_task(rt::ReadinessWait& ready, rt::Context& cx);

    // --- The callers' side, with the lock held.
    // What the socket holds now, into the sink; a failure is reported here.
    // Nothing while a call reads it (lend_for_call): what it holds is that call's.
    Read read_now(Held& held);
    // Around a waiting read on the caller's own thread, the lock released meanwhile.
    // False when another call's waiting read has it: one reader at a time, or a
    // frame read there would overtake those read here into the sink.
    bool lend_for_call(Held& held);
    // Ends that call's loan, waking callers waiting for a frame (one may read
    // next); lets the lock go.
    void give_back(Held& held);

    // For readers of what the sink stores: reads what the socket holds right now and
    // hands it to the sink, so that what they read is as fresh as the bus even when
    // the task has not had a processor yet; a socket it found empty a few
    // microseconds before is not read again. Waits only for a read in progress.
    void catch_up();

    // --- Writes.
    using WriteTurn = std::unique_lock<std::mutex>;
    // A caller's turn to write on its own thread: none while a frame queued for the
    // task is still unsent, nor (unless `wait`) while another write is in progress.
    // Kept until a refused frame is queued.
    std::optional<WriteTurn> write_turn(bool wait);
    // `queue` hands a frame to the task; it counts as unsent from just before
    // until the task says it is done with it (queued_done).
    template <class Queue>
    auto queue_for_task(Queue&& queue) {
        unsent_.fetch_add(1, std::memory_order_acq_rel);
        auto queued = queue();
        if (!queued) unsent_.fetch_sub(1, std::memory_order_acq_rel);
        return queued;
    }
    // The task's write of a queued frame, under the send lock.
    int write_for_task(CanDevice& device, const socketcan::CANFrame& frame);
    // After the task's last attempt at a queued frame, written or not.
    void queued_done() noexcept { unsent_.fetch_sub(1, std::memory_order_acq_rel); }

private:
    // A lease outlasts the call and needs the task awake to take it back; a call's
    // loan ends with the call.
    enum class Loan { Lease, Call };
    void lend(Held& held, Loan loan);
    // The task's waker, for the caller to wake once it let the lock go.
    rt::Waker give_back_locked();
    void give_back_unlocking(Held& held);
    // One batch into the sink; `held` may be let go meanwhile (room, lines).
    Read read_batch(Held& held);
    // Batches until the socket is found empty, fails or nobody takes frames; `frames` in all.
    Read read_all(Held& held);

    std::mutex send_lock_;
    std::atomic<std::size_t> unsent_{0};  // queued for the task, not yet written

    std::mutex receive_lock_;
    std::condition_variable frame_taken_;
    std::shared_ptr<FrameSink> sink_;  // null once the device is gone
    std::atomic<bool> lent_{false};
    std::atomic<std::uint64_t> caller_turns_{0};
    bool direct_reader_ = false;  // a call reads the socket, the lock let go (Loan::Call)
    rt::Clock::time_point found_empty_{};  // when catch_up's last read began that found it empty
    rt::Waker task_waker_;        // the task, waiting while the socket is lent
    bool ended_ = false;

    std::optional<CanDevice> device_;  // set once, before opened_
    std::atomic<bool> opened_{false};
};

// The failure lines of the socket work, written wherever the work happens
// (never with the receive lock held).
void report_send_failure(const rt::Error& error);
void report_receive_failure(const rt::Error& error);

}  // namespace drovik::comm::can
