#include "data/datafile.h"

#include <zlib.h>

#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/vidparm.h"

namespace datafile {
namespace {

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

std::uint32_t be32(const Bytes& d, std::size_t p) {
    return std::uint32_t(d[p]) << 24 | std::uint32_t(d[p + 1]) << 16 | std::uint32_t(d[p + 2]) << 8 | d[p + 3];
}

void put_be32(Bytes& d, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) d.push_back(std::uint8_t(v >> s));
}

}  // namespace

std::size_t png_length(const Bytes& data, std::size_t pos) {
    if (pos + 8 > data.size() || !std::equal(kPngSignature, kPngSignature + 8, data.begin() + long(pos))) return 0;
    return png_chunks_length(data, pos);
}

std::size_t png_chunks_length(const Bytes& data, std::size_t pos) {
    std::size_t p = pos + 8;
    while (p + 12 <= data.size()) {
        std::size_t len = be32(data, p);
        if (len > data.size() - p - 12) return 0;
        bool iend = data[p + 4] == 'I' && data[p + 5] == 'E' && data[p + 6] == 'N' && data[p + 7] == 'D';
        p += 12 + len;
        if (iend) return p - pos;
    }
    return 0;
}

Ac3Run scan_ac3(const Bytes& data, std::size_t pos) {
    Ac3Run run;
    std::size_t p = pos;
    while (p + 6 <= data.size() && data[p] == 0x0B && data[p + 1] == 0x77) {
        unsigned code = data[p + 4] & 0x3F, fscod = data[p + 4] >> 6;
        if (code > 37 || fscod == 3) {
            run.ok = false;
            break;
        }
        std::size_t len = std::size_t(framesizes[code * 4 + fscod]);
        if (p + len > data.size()) {
            run.ok = false;
            break;
        }
        if (run.frames == 0) run.rate = fscod == 0 ? 48000 : fscod == 1 ? 44100 : 32000;
        p += len;
        run.frames++;
        run.last_frame_bytes = len;
    }
    run.bytes = p - pos;
    return run;
}

bool split(const Bytes& plain, std::vector<Item>& items, std::string& why) {
    items.clear();
    std::size_t pos = 0;
    auto picture = [&](const std::string& name) {
        std::size_t len = png_length(plain, pos);
        if (len == 0) {
            why = name + ": no PNG stream at offset " + std::to_string(pos);
            return false;
        }
        items.push_back({name, pos, len, 0, 0});
        pos += len;
        return true;
    };
    auto soundtrack = [&](const std::string& name) {
        Ac3Run run = scan_ac3(plain, pos);
        if (!run.ok || run.frames == 0) {
            why = name + ": no valid run of AC-3 frames at offset " + std::to_string(pos);
            return false;
        }
        items.push_back({name, pos, run.bytes, run.frames, run.rate});
        pos += run.bytes;
        return true;
    };
    for (int i = 0; i < 4; i++)
        if (!picture("prelude picture " + std::to_string(i))) return false;
    if (!soundtrack("prelude soundtrack")) return false;
    if (pos >= plain.size()) {
        why = "no separator byte";
        return false;
    }
    items.push_back({"separator", pos, 1, 0, 0});
    pos++;
    if (pos != std::size_t(kMainSoundtrackOffset)) {
        why = "main soundtrack at offset " + std::to_string(pos) + ", not " + std::to_string(kMainSoundtrackOffset);
        return false;
    }
    if (!soundtrack("main soundtrack")) return false;
    if (!picture("end-title font")) return false;
    items.push_back({"end-title text", pos, plain.size() - pos, 0, 0});
    return true;
}

bool unscramble_and_split(Bytes& data, std::vector<Item>& items, std::string& why) {
    simplecrypt(data.data(), data.size(), kDataSeed);
    return split(data, items, why);
}

Bytes pad_png(const Bytes& png, std::size_t pad) {
    if (pad == 0) return png;
    std::size_t iend = png.size() - 12;
    Bytes out(png.begin(), png.begin() + long(iend));
    // "paDd": ancillary, private, safe to copy; decoders skip it.
    Bytes chunk = {'p', 'a', 'D', 'd'};
    chunk.resize(4 + pad - 12, 0);
    put_be32(out, std::uint32_t(pad - 12));
    out.insert(out.end(), chunk.begin(), chunk.end());
    put_be32(out, std::uint32_t(crc32(0, chunk.data(), uInt(chunk.size()))));
    out.insert(out.end(), png.begin() + long(iend), png.end());
    return out;
}

}  // namespace datafile
