#include "show/frame_paths.h"

#include <cstring>
#include <initializer_list>
#if defined(DEMO_FRAME_VECTORS)
#include <sys/auxv.h>
#endif

namespace frame_paths {

namespace {

constexpr const char* kNames[] = {"words", "sse2", "neon", "altivec"};

// Hardware capability bits of the Linux auxiliary vector (asm/hwcap.h of each CPU).
[[maybe_unused]] constexpr unsigned long kArmNeon = 1ul << 12;
[[maybe_unused]] constexpr unsigned long kPowerPcAltivec = 0x10000000ul;

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
    }
    return false;
}

Path widest() {
    for (Path path : {Path::sse2, Path::neon, Path::altivec})
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
    for (int i = 0; i < 4; i++)
        if (std::strcmp(name, kNames[i]) == 0) return use(Path(i));
    return false;
}

const char* name(Path path) { return kNames[int(path)]; }

}  // namespace frame_paths
