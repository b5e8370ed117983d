// read_png on any bytes, from a stdio stream and from the scrambled data stream: both
// roads give the same result (status, size, pixels, palette and, after a picture read
// whole, where the stream is left), and neither crashes, reads past a buffer or leaks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "show/encryption.h"
#include "show/pngload.h"

std::FILE* fp;

namespace {

constexpr std::uint32_t kSeed = 0x5EED0001u;

struct Result {
    int status = 0, width = -1, height = -1;
    long end = 0;
    std::vector<std::uint8_t> pixels;
    std::uint16_t colours[768];

    bool operator==(const Result& o) const {
        // Where a failed read stops is not part of the result.
        return status == o.status && width == o.width && height == o.height && (status != 0 || end == o.end) && pixels == o.pixels &&
               std::memcmp(colours, o.colours, sizeof colours) == 0;
    }
};

std::uint64_t be32(const std::uint8_t* p) { return std::uint64_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

bool too_big(const std::uint8_t* data, std::size_t size) {
    // libpng reads IHDR first: the size is at bytes 16 to 23.
    if (size >= 24 && be32(data + 16) * be32(data + 20) > (1u << 24)) return true;
    for (std::size_t p = 8; p + 8 <= size; p += 12 + be32(data + p))
        if (be32(data + p) > 8000000) return true;
    return false;
}

Result decode(std::FILE* file, std::FILE* stream) {
    Result r;
    std::memset(r.colours, 0xA5, sizeof r.colours);
    struct fb_cmap map = {0, 256, r.colours, r.colours + 256, r.colours + 512, nullptr};
    std::uint8_t* pixels = nullptr;
    r.status = read_png(file, &pixels, &map, &r.width, &r.height);
    if (r.status == 0) r.pixels.assign(pixels, pixels + std::size_t(r.width) * std::size_t(r.height));
    std::free(pixels);
    r.end = std::ftell(stream);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A picture the size of the show's is a few hundred kilobytes; one of gigabytes, or
    // a chunk whose length says so (libpng makes a buffer of that size for a text
    // chunk), would only measure the sanitizer's allocator.
    if (size == 0 || too_big(data, size)) return 0;
    std::vector<std::uint8_t> plain(data, data + size), stored(data, data + size);
    simplecrypt(stored.data(), stored.size(), kSeed);

    std::FILE* file = fmemopen(plain.data(), plain.size(), "rb");
    Result from_file = decode(file, file);
    std::fclose(file);

    fp = fmemopen(stored.data(), stored.size(), "rb");
    initcrypt(kSeed);
    Result from_stream = decode(nullptr, fp);
    std::fclose(fp);
    fp = nullptr;

    if (!(from_file == from_stream)) std::abort();
    return 0;
}
