// Linked only with the static C++ runtime. A libstdc++ built against glibc 2.38 or
// later reads its tunables with the C23 strtoul (__isoc23_strtoul, GLIBC_2.38),
// the one symbol that would lift the wheels built there from manylinux_2_34 to
// 2_38. This one behaves as glibc's does, value, end and errno alike, over the
// C99 strtoul that every glibc has: C23 only adds the 0b prefix for bases 0 and 2.
#include <features.h>

#if defined(__x86_64__) && __GLIBC_PREREQ(2, 38)
#include <cctype>
#include <cerrno>

extern "C" {
unsigned long drovik_c99_strtoul(const char* text, char** end, int base);
__asm__(".symver drovik_c99_strtoul, strtoul@GLIBC_2.2.5");

unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
    if (base == 0 || base == 2) {
        const char* p = text;
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        // A 0b not followed by a binary digit reads as the number 0 in both.
        if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
            int saved = errno;
            errno = 0;
            unsigned long value = drovik_c99_strtoul(p + 2, end, 2);
            if (errno == ERANGE) return value;  // ULONG_MAX whatever the sign
            errno = saved;
            return negative ? -value : value;
        }
    }
    return drovik_c99_strtoul(text, end, base);
}
}
#endif
