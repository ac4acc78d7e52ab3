// Linked only with the static C++ runtime. A libstdc++ built against glibc 2.38 or
// later reads its tunables with the C23 strtoul (__isoc23_strtoul, GLIBC_2.38),
// the one symbol that would lift the wheels built there from manylinux_2_34 to
// 2_38. The C99 strtoul, in every glibc, reads those decimal counts alike.
#include <features.h>

#if defined(__x86_64__) && __GLIBC_PREREQ(2, 38)
extern "C" {
unsigned long drovik_c99_strtoul(const char* text, char** end, int base);
__asm__(".symver drovik_c99_strtoul, strtoul@GLIBC_2.2.5");

unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
    return drovik_c99_strtoul(text, end, base);
}
}
#endif
