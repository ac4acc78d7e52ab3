#include <dirent.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace drovik::rt {
namespace {

std::size_t threads_named(const std::string& name) {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    closedir(dir);
    return count;
}

Task<int> seven() { co_return 7; }

// Concurrent first users all see one runtime, which starts one named worker per usable CPU.
TEST(LazyRuntime, ConcurrentFirstUsersShareOneRuntime) {
    std::vector<Runtime*> seen(8, nullptr);
    std::vector<std::thread> users;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        users.emplace_back([&seen, i] {
            auto rt = runtime();
            if (rt.ok()) seen[i] = rt.value();
        });
    }
    for (auto& u : users) u.join();
    ASSERT_NE(seen[0], nullptr);
    for (Runtime* rt : seen) EXPECT_EQ(rt, seen[0]);

    EXPECT_EQ(seen[0]->worker_count(), RuntimeConfig::for_this_process().workers);
    // Each thread names itself once it runs.
    EXPECT_TRUE(testing::eventually([&] { return threads_named("drovik-rt") >= seen[0]->worker_count(); }));

    auto answer = block_on(seven());
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(answer.value(), 7);
    auto waited = wait_for(seven());
    ASSERT_TRUE(waited.ok());
    EXPECT_EQ(waited.value(), 7);
}

}  // namespace
}  // namespace drovik::rt
