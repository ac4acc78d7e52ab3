// The module's C23 strtoul, linked in here under glibc's name, against glibc's
// own: same value, same end, same errno for every text and base.
#include <features.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstddef>
#include <ostream>
#include <string>
#include <tuple>

#if __GLIBC_PREREQ(2, 38)
extern "C" unsigned long __isoc23_strtoul(const char* text, char** end, int base);
#endif

namespace {

#if __GLIBC_PREREQ(2, 38)

using Strtoul = unsigned long (*)(const char*, char**, int);

struct Reading {
    unsigned long value;
    std::ptrdiff_t used;
    int error;
    bool operator==(const Reading&) const = default;
};

void PrintTo(const Reading& r, std::ostream* os) {
    *os << "{value " << r.value << ", used " << r.used << ", errno " << r.error << "}";
}

// errno starts at a value no strtoul sets, to see whether it is left alone.
constexpr int untouched = 4242;

Reading read(Strtoul strtoul, const std::string& text, int base) {
    char* end = nullptr;
    errno = untouched;
    unsigned long value = strtoul(text.c_str(), &end, base);
    return {value, end - text.c_str(), errno};
}

Strtoul glibc_c23_strtoul() {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return libc == nullptr ? nullptr : reinterpret_cast<Strtoul>(dlvsym(libc, "__isoc23_strtoul", "GLIBC_2.38"));
}

const std::string ones65(65, '1');

class C23Strtoul : public testing::TestWithParam<std::tuple<std::string, int>> {};

TEST_P(C23Strtoul, ReadsAsGlibc) {
    Strtoul glibc = glibc_c23_strtoul();
    ASSERT_NE(glibc, nullptr) << dlerror();
    ASSERT_NE(glibc, &__isoc23_strtoul) << "the stand-in is not linked in";
    auto [text, base] = GetParam();
    EXPECT_EQ(read(&__isoc23_strtoul, text, base), read(glibc, text, base));
    // Without an end to set, only the value.
    EXPECT_EQ(__isoc23_strtoul(text.c_str(), nullptr, base), glibc(text.c_str(), nullptr, base));
}

INSTANTIATE_TEST_SUITE_P(
    TextsAndBases, C23Strtoul,
    testing::Combine(testing::Values("0b101", "0B11", " \t\n-0b1", "+0b0", "0b", "0b2", "0b 1", "-0b", "00b1",
                                     "0x1f", "0X", "017", "12abc", "", "   ", "-", "-1", "z", "0b1 rest",
                                     "18446744073709551615", "18446744073709551616", "-18446744073709551616",
                                     "0b" + ones65, "-0b" + ones65, "0b" + std::string(64, '1')),
                     testing::Values(0, 1, 2, 8, 10, 16, 36, 37)));

#else
TEST(C23Strtoul, ReadsAsGlibc) {
    GTEST_SKIP() << "this C library has no C23 strtoul to stand in for";
}
#endif

}  // namespace
