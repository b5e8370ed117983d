#include "show/ac3audio.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/soundcard.h>

#include "box/box.h"
#include "show/encryption.h"

std::uint32_t fcount;
int repeat;

// Frame length in bytes for fscod 0 (48 kHz), 1 (44.1 kHz), 2 (32 kHz), then the
// nominal bit rate in kbit/s, for each frmsizecod.
const std::int32_t framesizes[38 * 4] = {
    128,  138,  192,  32,  128,  140,  192,  32,  160,  174,  240,  40,  160,  176,  240,  40,
    192,  208,  288,  48,  192,  210,  288,  48,  224,  242,  336,  56,  224,  244,  336,  56,
    256,  278,  384,  64,  256,  280,  384,  64,  320,  348,  480,  80,  320,  350,  480,  80,
    384,  416,  576,  96,  384,  418,  576,  96,  448,  486,  672,  112, 448,  488,  672,  112,
    512,  556,  768,  128, 512,  558,  768,  128, 640,  696,  960,  160, 640,  698,  960,  160,
    768,  834,  1152, 192, 768,  836,  1152, 192, 896,  974,  1344, 224, 896,  976,  1344, 224,
    1024, 1114, 1536, 256, 1024, 1116, 1536, 256, 1280, 1392, 1920, 320, 1280, 1394, 1920, 320,
    1536, 1670, 2304, 384, 1536, 1672, 2304, 384, 1792, 1950, 2688, 448, 1792, 1952, 2688, 448,
    2048, 2228, 3072, 512, 2048, 2230, 3072, 512, 2304, 2506, 3456, 576, 2304, 2508, 3456, 576,
    2560, 2786, 3840, 640, 2560, 2788, 3840, 640,
};

namespace {

constexpr int kBurstBytes = 6144;
constexpr int kFeedThreshold = 0x3000;  // two bursts
// Pa, Pb, Pc = 1 (AC-3), Pd = 22304 bits: the largest AC-3 frame, for every frame.
constexpr std::uint8_t kPreamble[8] = {0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 0x20, 0x57};

struct RateRange {
    int asked, low, high;
};
// The rate the device reports must be within 3 % of the stream's.
constexpr RateRange kRates[3] = {{48000, 46560, 49440}, {44100, 42777, 45423}, {32000, 31040, 32960}};

std::uint8_t* ac3data;
std::uint32_t ac3size;
std::uint8_t* curptr;
std::uint8_t* frame;
int ah;
int sr;
std::uint64_t sent;  // bytes written to the device since it was opened
bool played_out;     // the stream has ended (its last frame or a bad one) and plays out

// Reads and seeks for the loader: through the keystream, or plainly.
struct Reader {
    std::size_t (*read)(void*, std::size_t, std::size_t, std::FILE*);
    int (*seek)(std::FILE*, long, int);
};

// Length of the swapped frame at p, or 0 when it is not a valid frame of this stream.
int frame_length(const std::uint8_t* p) {
    if (p[0] != 0x77 || p[1] != 0x0B) return 0;
    int code = p[5] & 0x3F;
    int fscod = p[5] >> 6;
    if (code > 37 || fscod != sr) return 0;
    return framesizes[code * 4 + fscod];
}

void release() {
    // Closing lets the sound play out, and a stop may arrive meanwhile: the descriptor
    // is forgotten before it is closed.
    int fd = ah;
    ah = 0;
    if (fd != 0) box::close(fd);
    std::free(frame);
    frame = nullptr;
    std::free(ac3data);
    ac3data = nullptr;
    // Nothing loaded is an empty stream: a later ac3_process reports its end.
    ac3size = 0;
    curptr = nullptr;
}

int load(std::FILE* fp, const Reader& io) {
    long p0 = std::ftell(fp);
    cryptstat saved;
    savecryptstat(&saved);
    std::clearerr(fp);

    // Find the end of the run of frames.
    std::uint8_t head[6];
    for (;;) {
        std::size_t got = io.read(head, 1, 6, fp);
        if (got < 6) {
            if (std::feof(fp)) break;
            return -EIO;
        }
        if (head[0] != 0x0B || head[1] != 0x77) {
            std::fseek(fp, -6, SEEK_CUR);
            break;
        }
        int code = head[4] & 0x3F;
        if (code > 37) return -EINVAL;
        io.seek(fp, framesizes[code * 4 + (head[4] >> 6)] - 6, SEEK_CUR);
    }
    long p1 = std::ftell(fp);
    std::clearerr(fp);
    std::fseek(fp, p0, SEEK_SET);
    restorecryptstat(&saved);
    // The stream and its 4 spare bytes must be counted in 32 bits: a longer run (or a
    // position the stream cannot tell) is refused like a buffer that cannot be had.
    if (p0 < 0 || p1 < p0 || std::uint64_t(p1 - p0) > UINT32_MAX - 4u) return -ENOMEM;
    ac3size = std::uint32_t(p1 - p0);

    ac3data = static_cast<std::uint8_t*>(std::malloc(ac3size + 4));
    if (ac3data == nullptr) return -ENOMEM;
    std::memset(ac3data + ac3size, 0, 4);
    if (io.read(ac3data, 1, ac3size, fp) < ac3size) {
        release();
        return -EIO;
    }
    // Swap the bytes of every 16-bit pair, a 32-bit word at a time; the spare bytes
    // cover the last partial word.
    for (std::uint32_t i = 0; i < (ac3size + 3) / 4; i++) {
        std::uint8_t* w = ac3data + 4 * i;
        std::uint8_t a = w[0], b = w[2];
        w[0] = w[1];
        w[1] = a;
        w[2] = w[3];
        w[3] = b;
    }
    if (ac3size < 6 || ac3data[0] != 0x77 || ac3data[1] != 0x0B) {
        release();
        return -EINVAL;
    }

    frame = static_cast<std::uint8_t*>(std::malloc(kBurstBytes));
    if (frame == nullptr) {
        release();
        return -ENOMEM;
    }
    std::memcpy(frame, kPreamble, sizeof kPreamble);
    std::memset(frame + sizeof kPreamble, 0, kBurstBytes - sizeof kPreamble);

    ah = box::open("/dev/dsp", O_WRONLY);
    if (ah < 0) {
        ah = 0;
        release();
        return -ENODEV;
    }
    int value = AFMT_S16_LE;
    if (box::ioctl(ah, SNDCTL_DSP_SETFMT, &value) != 0 || value != AFMT_S16_LE) {
        release();
        return -EIO;
    }
    value = 2;
    if (box::ioctl(ah, SNDCTL_DSP_CHANNELS, &value) != 0 || value != 2) {
        release();
        return -EIO;
    }
    value = 0x7FFF000C;
    box::ioctl(ah, SNDCTL_DSP_SETFRAGMENT, &value);

    sr = ac3data[5] >> 6;
    if (sr == 3) {
        release();
        return -EINVAL;
    }
    value = kRates[sr].asked;
    if (box::ioctl(ah, SNDCTL_DSP_SPEED, &value) != 0 || value < kRates[sr].low || value > kRates[sr].high) {
        release();
        return -EIO;
    }
    curptr = ac3data;
    sent = 0;
    played_out = false;
    return 0;
}

// Writes the bytes whole. A blocking write may take only part of them (the process was
// stopped and continued, or a signal came that does not end the show): it goes on with
// the rest. Only a device that fails ends it early; `sent` counts what the device took.
void send(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (count > 0) {
        ssize_t n = box::write(ah, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += std::uint64_t(n);
        p += n;
        count -= std::size_t(n);
    }
}

// The soundtrack's last burst has been written (the stream ends, or goes on with a bad
// frame): let it play now. The driver hands the device whole fragments and holds a
// partly filled one back until it fills or the device is closed, so the fragment is
// filled up with zeros (a receiver skips zeros between bursts), and the driver is told
// that nothing more is coming for now. Once per stream.
void play_out() {
    static const std::uint8_t zeros[kBurstBytes] = {};
    if (played_out) return;
    played_out = true;
    int fragment = 0;
    if (box::ioctl(ah, SNDCTL_DSP_GETBLKSIZE, &fragment) == 0 && fragment > 0) {
        std::size_t held = std::size_t(sent % unsigned(fragment));
        for (std::size_t missing = held != 0 ? unsigned(fragment) - held : 0; missing > 0;) {
            std::size_t n = std::min(missing, sizeof zeros);
            send(zeros, n);
            missing -= n;
        }
    }
    box::ioctl(ah, SNDCTL_DSP_POST, nullptr);
}

}  // namespace

int crypted_ac3_init(std::FILE* fp) { return load(fp, Reader{cryptread, cryptseek}); }

int ac3_init(std::FILE* file) {
    return load(file, Reader{[](void* buf, std::size_t size, std::size_t count, std::FILE* f) { return std::fread(buf, size, count, f); },
                             [](std::FILE* f, long offset, int whence) { return std::fseek(f, offset, whence); }});
}

bool ac3_playing() { return ah != 0; }

int ac3_process() {
    int delay = 0;
    box::ioctl(ah, SNDCTL_DSP_GETODELAY, &delay);
    if (delay > kFeedThreshold) return 0;
    for (int n = 0; n < 2; n++) {
        if (curptr >= ac3data + ac3size) {
            if (repeat == 0) return -ENODATA;
            curptr = ac3data;
            fcount = 0;
        }
        int len = frame_length(curptr);
        if (len == 0 || std::size_t(len) > std::size_t(ac3data + ac3size - curptr)) {
            play_out();
            return -EINVAL;
        }
        // len + 3 bytes: the copy may carry the start of the next frame, which the
        // receiver ignores; bytes past it keep what a longer frame left there.
        std::memcpy(frame + 8, curptr, std::size_t(len) + 3);
        send(frame, kBurstBytes);
        curptr += len;
        fcount++;
        if (curptr >= ac3data + ac3size && repeat == 0) play_out();
    }
    return 0;
}

int ac3_skip(std::uint32_t n) {
    fcount = 0;
    curptr = ac3data;
    played_out = false;  // sending goes on from here, up to an end of its own
    while (fcount < n) {
        if (curptr >= ac3data + ac3size) return -ENODATA;
        int len = frame_length(curptr);
        if (len == 0 || std::size_t(len) > std::size_t(ac3data + ac3size - curptr)) return -EINVAL;
        curptr += len;
        fcount++;
    }
    return 0;
}

void ac3_stop(int flag) {
    if (flag && ah != 0) box::ioctl(ah, SNDCTL_DSP_RESET, nullptr);
    release();
    fcount = 0;
}
