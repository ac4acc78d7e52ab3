#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "runtime/io/io_registration.hpp"
#include "runtime/time/timeout.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using namespace std::chrono_literals;
using testing::make_runtime;

struct Pipe {
    Pipe() {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2];
};

// Reads until `expected` bytes arrived, waiting for readiness after each EAGAIN.
Task<Result<std::string>> read_all(Runtime* rt, int fd, std::size_t expected) {
    auto registration = IoRegistration::create(*rt, fd);
    if (!registration) co_return registration.error();
    std::string got;
    while (got.size() < expected) {
        if (auto ready = co_await registration.value().readable(); !ready) co_return ready.error();
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            registration.value().clear_read_ready();
        } else {
            co_return Error{ErrorKind::Other, "unexpected end of pipe"};
        }
    }
    co_return got;
}

TEST(IoRegistration, ReadLoopWakesOnEveryNewWrite) {
    auto rt = make_runtime(2);
    Pipe pipe;
    const std::string text = "readiness arrives in pieces";
    auto reader = rt->spawn(read_all(rt.get(), pipe.fds[0], text.size()));
    std::thread writer([&] {
        for (char c : text) {
            ASSERT_EQ(write(pipe.fds[1], &c, 1), 1);
            std::this_thread::yield();
        }
    });
    writer.join();
    auto got = rt->block_on([](JoinHandle<Result<std::string>>* h) -> Task<Result<Result<std::string>>> {
        co_return co_await *h;
    }(&reader));
    ASSERT_TRUE(got.ok() && got.value().ok() && got.value().value().ok());
    EXPECT_EQ(got.value().value().value(), text);
}

// After EAGAIN and clearing, readiness must not be reported again without new data.
Task<bool> readable_again_without_data(Runtime* rt, int fd) {
    auto registration = IoRegistration::create(*rt, fd);
    if (!registration) co_return true;
    auto& reg = registration.value();
    // The protocol a reader follows: see readiness, drain, then clear what it saw.
    if (auto ready = co_await reg.readable(); !ready) co_return true;
    char buf[8];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    reg.clear_read_ready();
    auto again = co_await with_timeout(20ms, reg.readable());
    co_return again.has_value();
}

TEST(IoRegistration, ClearedReadinessWaitsForANewEdge) {
    auto rt = make_runtime(1);
    Pipe pipe;
    ASSERT_EQ(write(pipe.fds[1], "x", 1), 1);
    auto spurious = rt->block_on(readable_again_without_data(rt.get(), pipe.fds[0]));
    ASSERT_TRUE(spurious.ok());
    EXPECT_FALSE(spurious.value());
}

TEST(IoRegistration, RegisteringAnInvalidDescriptorIsAnError) {
    auto rt = make_runtime(1);
    auto registration = IoRegistration::create(*rt, -1);
    ASSERT_FALSE(registration.ok());
    EXPECT_EQ(registration.error().text, "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace drovik::rt
