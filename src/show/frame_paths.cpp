#include "show/frame_paths.h"

#include <cstring>
#include <initializer_list>
#include <iterator>
#if defined(DEMO_FRAME_VECTORS)
#include <sys/auxv.h>
#endif
#if defined(DEMO_FRAME_VECTORS) && defined(__mips__)
#include <csetjmp>
#include <csignal>
#endif

namespace frame_paths {

namespace {

constexpr const char* kNames[] = {"words", "sse2", "neon", "altivec", "dsp"};

// Hardware capability bits of the Linux auxiliary vector (asm/hwcap.h of each CPU).
[[maybe_unused]] constexpr unsigned long kArmNeon = 1ul << 12;
[[maybe_unused]] constexpr unsigned long kPowerPcAltivec = 0x10000000ul;
[[maybe_unused]] constexpr unsigned long kMipsDsp = 1ul << 7;

#if defined(DEMO_FRAME_VECTORS) && defined(__mips__)
// Older kernels do not report MIPS's DSP extension among the capabilities, nor
// does qemu's user-mode emulator: there one of its instructions is tried. A core
// without the extension, or a kernel that has not enabled it for the process, refuses
// it with SIGILL.
sigjmp_buf refused;

void on_refusal(int) { siglongjmp(refused, 1); }

bool runs_dsp() {
    struct sigaction trial = {}, before = {};
    trial.sa_handler = on_refusal;
    sigemptyset(&trial.sa_mask);
    if (sigaction(SIGILL, &trial, &before) != 0) return false;
    volatile bool runs = false;
    if (sigsetjmp(refused, 1) == 0) {
        unsigned word = 0x02020202u;
        asm volatile(".set push\n\t.set dsp\n\tshrl.qb %0, %0, 1\n\t.set pop" : "+r"(word));
        runs = word == 0x01010101u;
    }
    sigaction(SIGILL, &before, nullptr);
    return runs;
}
#endif

bool cpu_has(Path path) {
    switch (path) {
    case Path::words:
        return true;
    case Path::sse2:
#if defined(__SSE2__)
        return true;
#else
        return false;
#endif
    case Path::neon:
#if defined(DEMO_FRAME_VECTORS) && defined(__arm__)
        return (getauxval(AT_HWCAP) & kArmNeon) != 0;
#else
        return false;
#endif
    case Path::altivec:
#if defined(DEMO_FRAME_VECTORS) && defined(__powerpc__)
        return (getauxval(AT_HWCAP) & kPowerPcAltivec) != 0;
#else
        return false;
#endif
    case Path::dsp:
#if defined(DEMO_FRAME_VECTORS) && defined(__mips__)
    {
        static const bool runs = (getauxval(AT_HWCAP) & kMipsDsp) != 0 || runs_dsp();
        return runs;
    }
#else
        return false;
#endif
    }
    return false;
}

Path widest() {
    for (Path path : {Path::sse2, Path::neon, Path::altivec, Path::dsp})
        if (cpu_has(path)) return path;
    return Path::words;
}

Path& chosen() {
    static Path path = widest();
    return path;
}

}  // namespace

Path current() { return chosen(); }

bool available(Path path) { return cpu_has(path); }

bool use(Path path) {
    if (!cpu_has(path)) return false;
    chosen() = path;
    return true;
}

bool use(const char* name) {
    for (int i = 0; i < int(std::size(kNames)); i++)
        if (std::strcmp(name, kNames[i]) == 0) return use(Path(i));
    return false;
}

const char* name(Path path) { return kNames[int(path)]; }

}  // namespace frame_paths
