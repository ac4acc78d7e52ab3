// What the socket task of a CanDeviceAsync shares with the device's callers. The
// task opens the socket and serves it; callers may also write it, and read it,
// directly on their own thread. The two locks keep every frame in bus order
// whoever moves it:
// - send_lock is held for each write. A caller writes directly only when it
//   holds the lock and nothing queued for the task is still unsent, so no frame
//   overtakes one queued before it.
// - receive_lock is held for each read together with the hand-over of what was
//   read (to the sink or to the reading caller), and guards everything below it.
// A caller that reads the socket itself borrows it for a lease: meanwhile read
// events are off (arrivals wake no thread) and the task keeps off. Callers never
// read the clock for it: each caller turn counts, and the task, waking once per
// lease, lends it for another lease when turns came during the last one and
// takes it back otherwise, so frames nobody asks for are still read within two
// leases.
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
#include "runtime/result.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::comm::can {

// Where the socket task puts each frame it reads.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Called in bus order with the port's receive_lock held, with the kernel's
    // receive time (see CANSocket); false when nobody takes frames any more,
    // which ends the socket task.
    virtual bool take(const socketcan::CANFrame& frame, std::int64_t received_ns) = 0;
};

class Port {
public:
    explicit Port(std::shared_ptr<FrameSink> sink) : sink(std::move(sink)) {}

    // By the task once the socket is open; callers may use it from then on.
    void open(CanDevice device);
    // By the task as it ends: callers waiting for the task stop waiting.
    void end();
    // The open socket, or null before the task opened it (or when it could not).
    // Moved in before the flag is raised and never changed afterwards.
    CanDevice* device() noexcept { return opened_.load(std::memory_order_acquire) ? &*device_ : nullptr; }

    std::mutex send_lock;
    std::atomic<std::size_t> unsent{0};  // queued for the task, not yet written

    std::mutex receive_lock;
    std::condition_variable frame_taken;  // the sink took a frame, or the task ended
    std::shared_ptr<FrameSink> sink;      // null once the device is gone
    // Lent to callers; written under receive_lock, read by the task without it.
    std::atomic<bool> lent{false};
    // Caller turns so far; bumped under receive_lock, read by the task without it.
    std::atomic<std::uint64_t> caller_turns{0};
    bool direct_reader = false;           // a caller is inside a call that reads the socket
    bool return_wanted = false;           // the task found the lease over with a caller inside
    rt::Waker task_kept_off;              // the task, waiting for that caller to give it back
    bool ended = false;                   // the task has ended

private:
    std::optional<CanDevice> device_;  // set once, before opened_
    std::atomic<bool> opened_{false};
};

// Around a caller's reads on its own thread, with receive_lock held. The turn
// ends without giving the socket back unless the task asked for it meanwhile (a
// long wait); give_back_to_task returns it at once: the task then waits for the
// next read event, which comes at once if a frame is already waiting.
void begin_caller_turn(Port& port);
void end_caller_turn(Port& port);
void give_back_to_task(Port& port);
// By the task, with receive_lock held, once a lease passed with no caller turn.
// False when a caller is inside: it gives the socket back as its turn ends.
bool take_back_from_callers(Port& port, const rt::Waker& task);

// For readers of what the sink stores: reads what the socket holds right now and
// hands it to the sink, so that what they read is as fresh as the bus even when
// the task has not had a processor yet. Waits only for a read in progress.
void catch_up(Port& port);

// The failure lines of the socket work, written wherever the work happens.
void report_send_failure(const rt::Error& error);
void report_receive_failure(const rt::Error& error);

}  // namespace drovik::comm::can
