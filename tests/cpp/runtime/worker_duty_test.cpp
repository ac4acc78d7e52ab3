#include <gtest/gtest.h>

#include <sched.h>

#include <future>
#include <semaphore>
#include <thread>

#include "runtime/realtime/fifo.hpp"
#include "runtime/realtime/worker_duty.hpp"

namespace drovik::rt::realtime {
namespace {

struct Policy {
    int policy;
    int priority;
    bool operator==(const Policy&) const = default;
};

Policy policy_of(pid_t tid) {
    sched_param param{};
    sched_getparam(tid, &param);
    return Policy{sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK, param.sched_priority};
}

bool fifo_permitted() {
    bool permitted = false;
    std::thread([&] {
        permitted = raise_thread(0, 1).ok();
        drop_thread(0);
    }).join();
    return permitted;
}

// A thread on worker duty until told to leave it, then until told to end.
class Worker {
public:
    Worker()
        : thread_([this] {
              enter_worker_duty();
              tid_.set_value(this_thread_id());
              leave_.acquire();
              drop_to_ordinary_scheduling();
              left_.release();
              end_.acquire();
          }),
          tid(tid_.get_future().get()) {}
    ~Worker() {
        if (!left) leave_duty();
        end_.release();
        thread_.join();
    }
    void leave_duty() {
        leave_.release();
        left_.acquire();
        left = true;
    }

private:
    std::promise<pid_t> tid_;
    std::binary_semaphore leave_{0}, left_{0}, end_{0};
    std::thread thread_;
    bool left = false;

public:
    const pid_t tid;
};

constexpr Policy kOrdinary{SCHED_OTHER, 0};

TEST(WorkerDuty, WorkersRunRaisedOnlyWhileOnDutyAndStartOrdinaryThreads) {
    if (!fifo_permitted()) GTEST_SKIP() << "SCHED_FIFO is not permitted here";
    Worker before;
    EXPECT_EQ(policy_of(before.tid), kOrdinary);

    ASSERT_TRUE(raise_workers(7).ok());
    EXPECT_EQ(policy_of(before.tid), (Policy{SCHED_FIFO, 7}));
    Worker after;
    EXPECT_EQ(policy_of(after.tid), (Policy{SCHED_FIFO, 7}));

    // A thread started by a raised one, as a pool thread started by a worker.
    std::promise<Policy> child;
    std::thread([&] {
        enter_worker_duty();
        std::thread([&] { child.set_value(policy_of(0)); }).join();
        drop_to_ordinary_scheduling();
    }).join();
    EXPECT_EQ(child.get_future().get(), kOrdinary);

    before.leave_duty();
    EXPECT_EQ(policy_of(before.tid), kOrdinary);
    EXPECT_EQ(policy_of(after.tid), (Policy{SCHED_FIFO, 7}));

    // A refused raise (no such priority) leaves every worker ordinary, later ones too.
    EXPECT_FALSE(raise_workers(100).ok());
    EXPECT_EQ(policy_of(after.tid), kOrdinary);
    Worker later;
    EXPECT_EQ(policy_of(later.tid), kOrdinary);
}

}  // namespace
}  // namespace drovik::rt::realtime
