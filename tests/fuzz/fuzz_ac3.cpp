// The AC-3 player on the emulated box with any stream: the scan and the load (through
// the scrambled data stream or a plain file), a skip, play to the end or to a bad
// frame, and a stop with or without discarding what the device holds.
//
// Input: a mode byte (bit 0 scrambled, bit 1 skip, bit 2 discard at the stop), the
// frame to skip to, then the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "box/emu/emu.h"
#include "show/ac3audio.h"
#include "show/encryption.h"

namespace {

constexpr std::uint32_t kSeed = 0xAC3AC3u;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const int mode = data[0];
    const std::uint32_t skip = data[1];
    std::vector<std::uint8_t> stream(data + 2, data + size);
    if (mode & 1) simplecrypt(stream.data(), stream.size(), kSeed);

    emu::Box& box = emu::reset();
    std::FILE* f = fmemopen(stream.data(), stream.size(), "rb");
    int r;
    if (mode & 1) {
        initcrypt(kSeed);
        r = crypted_ac3_init(f);
    } else {
        r = ac3_init(f);
    }
    if (r == 0) {
        if (fcount != 0) std::abort();
        if (mode & 2) r = ac3_skip(skip);
        // Every frame is at least 128 bytes: the stream cannot hold more frames.
        const std::uint32_t most = std::uint32_t(stream.size() / 128);
        while (r == 0) {
            r = ac3_process();
            if (fcount > most) std::abort();
            box.clock.sleep_us(32000);
        }
        if (r != -61 && r != -22) std::abort();
        ac3_stop(mode & 4);
    } else if (r != -5 && r != -12 && r != -22) {
        std::abort();
    }
    std::fclose(f);
    return 0;
}
