// Reading palette pictures with read_png: from a plain file and from the scrambled data
// stream, the palette copy into part of a colour map, where the stream is left, and
// pictures that are refused or broken.
#include <cstdlib>
#include <gtest/gtest.h>
#include <png.h>
#include <random>
#include <zlib.h>

#include "data/pngwrite.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/pngload.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

PalettePicture make_picture(int width, int height, int colours, std::uint32_t seed) {
    PalettePicture p;
    p.width = width;
    p.height = height;
    std::mt19937 rng(seed);
    for (int i = 0; i < colours; i++)
        p.palette.push_back({std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())});
    p.pixels.resize(std::size_t(width) * std::size_t(height));
    for (auto& px : p.pixels) px = std::uint8_t(rng() % unsigned(colours));
    return p;
}

// A PNG of any kind libpng writes: for pictures the show refuses or has to cope with.
Bytes encode_raw(int width, int height, int bit_depth, int colour_type, int interlace, const Bytes& packed_rows) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(
        png, &out,
        [](png_structp w, png_bytep data, png_size_t len) {
            auto* o = static_cast<Bytes*>(png_get_io_ptr(w));
            o->insert(o->end(), data, data + len);
        },
        [](png_structp) {});
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bit_depth, colour_type, interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color grey[16];
    for (int i = 0; i < 16; i++) grey[i] = png_color{std::uint8_t(i * 17), std::uint8_t(i * 17), std::uint8_t(i * 17)};
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, grey, 1 << (bit_depth < 4 ? bit_depth : 4));
    png_write_info(png, info);
    std::size_t stride = packed_rows.size() / std::size_t(height);
    std::vector<png_bytep> rows;
    for (int y = 0; y < height; y++) rows.push_back(const_cast<png_bytep>(packed_rows.data()) + std::size_t(y) * stride);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::FILE* plain_file(const Bytes& bytes, const std::string& name) {
    std::string path = testbox::temp_dir() + "/" + name;
    testbox::write_file(path, bytes);
    return std::fopen(path.c_str(), "rb");
}

struct Map {
    std::uint16_t red[256], green[256], blue[256];
    struct fb_cmap cmap;
    explicit Map(std::uint32_t start, std::uint32_t len) : cmap{start, len, red, green, blue, nullptr} {
        for (int i = 0; i < 256; i++) red[i] = green[i] = blue[i] = std::uint16_t(0xA5A5 + i);
    }
    void expect_untouched(int i) const {
        EXPECT_EQ(red[i], 0xA5A5 + i) << "entry " << i;
        EXPECT_EQ(green[i], 0xA5A5 + i) << "entry " << i;
        EXPECT_EQ(blue[i], 0xA5A5 + i) << "entry " << i;
    }
    void expect_colour(int i, const std::array<std::uint8_t, 3>& c) const {
        EXPECT_EQ(red[i], c[0] << 8) << "entry " << i;
        EXPECT_EQ(green[i], c[1] << 8) << "entry " << i;
        EXPECT_EQ(blue[i], c[2] << 8) << "entry " << i;
    }
};

TEST(ReadPng, SixteenColoursIntoAFullMapChangeOnlyTheFirstSixteen) {
    PalettePicture pic = make_picture(37, 23, 16, 1);
    Bytes png = encode_png(pic);
    std::FILE* f = plain_file(png, "sixteen.png");
    Map map(0, 256);
    std::uint8_t* pixels = nullptr;
    int width = 0, height = 0;
    ASSERT_EQ(read_png(f, &pixels, &map.cmap, &width, &height), 0);
    EXPECT_EQ(width, 37);
    EXPECT_EQ(height, 23);
    EXPECT_EQ(Bytes(pixels, pixels + 37 * 23), pic.pixels);
    for (int i = 0; i < 16; i++) map.expect_colour(i, pic.palette[std::size_t(i)]);
    for (int i = 16; i < 256; i++) map.expect_untouched(i);
    // The stream is left just past IEND, not at the end of a read-ahead block.
    EXPECT_EQ(std::ftell(f), long(png.size()));
    std::free(pixels);
    std::fclose(f);
}

TEST(ReadPng, MapStartingAt240TakesTheFirstSixteenColours) {
    PalettePicture pic = make_picture(16, 16, 256, 2);
    std::FILE* f = plain_file(encode_png(pic), "full.png");
    Map map(240, 16);
    std::uint8_t* pixels = nullptr;
    ASSERT_EQ(read_png(f, &pixels, &map.cmap, nullptr, nullptr), 0);
    for (int i = 0; i < 240; i++) map.expect_untouched(i);
    for (int i = 0; i < 16; i++) map.expect_colour(240 + i, pic.palette[std::size_t(i)]);
    EXPECT_EQ(Bytes(pixels, pixels + 256), pic.pixels);
    std::free(pixels);
    std::fclose(f);
}

TEST(ReadPng, FromTheDataStreamFeedsAPlayingSoundtrackEvery32Rows) {
    // One virtual microsecond per poll: the clock counts the output-delay polls.
    emu::Config config;
    config.poll_us = 1;
    emu::Box& box = testbox::fresh_box(config);
    const PalettePicture tall = make_picture(16, 100, 4, 5);
    const Bytes png = encode_png(tall);
    const std::string path = testbox::temp_dir() + "/tall.png";
    testbox::write_file(path, png);
    auto polls_while_reading = [&](std::FILE* file) {
        const std::uint64_t before = box.clock.now_us();
        std::uint8_t* pixels = nullptr;
        EXPECT_EQ(read_png(file, &pixels, nullptr, nullptr, nullptr), 0);
        if (pixels != nullptr) {
            EXPECT_EQ(Bytes(pixels, pixels + 1600), tall.pixels);
        }
        std::free(pixels);
        return box.clock.now_us() - before;
    };

    // Nothing playing: the device is left alone.
    fp = testbox::open_scrambled(png, 77);
    EXPECT_EQ(polls_while_reading(nullptr), 0u);
    std::fclose(fp);

    testbox::start_tone();
    // After rows 32, 64 and 96; the sound went on.
    fp = testbox::open_scrambled(png, 77);
    EXPECT_EQ(polls_while_reading(nullptr), 3u);
    EXPECT_GT(box.dsp.writes, 0u);
    std::fclose(fp);
    // A picture from its own file is read at set-up time, before any music.
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(polls_while_reading(f), 0u);
    std::fclose(f);
    ac3_stop(0);
}

TEST(ReadPng, TwoPicturesBackToBackInTheDataStream) {
    // The first is large enough to span several IDAT chunks and many reads.
    PalettePicture first = make_picture(640, 480, 256, 3);
    PalettePicture second = make_picture(256, 256, 16, 4);
    Bytes a = encode_png(first), b = encode_png(second);
    const Bytes after = {0x0B, 0x77, 0x42, 0x00, 0xFF};
    Bytes plain = a;
    plain.insert(plain.end(), b.begin(), b.end());
    plain.insert(plain.end(), after.begin(), after.end());
    fp = testbox::open_scrambled(plain, 0x5EED1234u);
    ASSERT_NE(fp, nullptr);

    Map map1(0, 256), map2(0, 256);
    std::uint8_t *pixels1 = nullptr, *pixels2 = nullptr;
    int w = 0, h = 0;
    ASSERT_EQ(read_png(nullptr, &pixels1, &map1.cmap, &w, &h), 0);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    EXPECT_EQ(std::ftell(fp), long(a.size()));
    ASSERT_EQ(read_png(nullptr, &pixels2, &map2.cmap, &w, &h), 0);
    EXPECT_EQ(w, 256);
    EXPECT_EQ(h, 256);
    EXPECT_EQ(std::ftell(fp), long(a.size() + b.size()));

    EXPECT_EQ(Bytes(pixels1, pixels1 + 640 * 480), first.pixels);
    EXPECT_EQ(Bytes(pixels2, pixels2 + 256 * 256), second.pixels);
    for (int i = 0; i < 256; i++) map1.expect_colour(i, first.palette[std::size_t(i)]);
    for (int i = 0; i < 16; i++) map2.expect_colour(i, second.palette[std::size_t(i)]);
    for (int i = 16; i < 256; i++) map2.expect_untouched(i);

    // The keystream is still in step with the file for whoever reads on.
    Bytes rest(after.size());
    EXPECT_EQ(cryptread(rest.data(), rest.size(), 1, fp), 1u);
    EXPECT_EQ(rest, after);
    std::free(pixels1);
    std::free(pixels2);
    std::fclose(fp);
}

TEST(ReadPng, GreyAndInterlacedEightBitPicturesAreRead) {
    Bytes rows(24 * 10);
    for (std::size_t i = 0; i < rows.size(); i++) rows[i] = std::uint8_t(i * 7);
    std::uint8_t* pixels = nullptr;
    Map map(0, 256);

    std::FILE* grey = plain_file(encode_raw(24, 10, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, rows), "grey.png");
    ASSERT_EQ(read_png(grey, &pixels, &map.cmap, nullptr, nullptr), 0);
    EXPECT_EQ(Bytes(pixels, pixels + rows.size()), rows);
    // No palette in the picture: the map keeps what it had.
    for (int i = 0; i < 256; i++) map.expect_untouched(i);
    std::free(pixels);
    std::fclose(grey);

    for (auto& px : rows) px &= 15;
    std::FILE* interlaced =
        plain_file(encode_raw(24, 10, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_ADAM7, rows), "adam7.png");
    ASSERT_EQ(read_png(interlaced, &pixels, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Bytes(pixels, pixels + rows.size()), rows);
    std::free(pixels);
    std::fclose(interlaced);
}

TEST(ReadPng, PicturesNotOfOneByteAPixelAreRefused) {
    struct Kind {
        const char* name;
        int depth, colour_type, bytes_per_row;
    };
    const Kind kinds[] = {
        {"4-bit palette", 4, PNG_COLOR_TYPE_PALETTE, 8},
        {"1-bit palette", 1, PNG_COLOR_TYPE_PALETTE, 2},
        {"16-bit grey", 16, PNG_COLOR_TYPE_GRAY, 32},
        {"8-bit RGB", 8, PNG_COLOR_TYPE_RGB, 48},
        {"8-bit grey and alpha", 8, PNG_COLOR_TYPE_GRAY_ALPHA, 32},
    };
    for (const Kind& k : kinds) {
        Bytes png = encode_raw(16, 4, k.depth, k.colour_type, PNG_INTERLACE_NONE, Bytes(std::size_t(k.bytes_per_row) * 4, 0x11));
        ASSERT_FALSE(png.empty()) << k.name;
        std::FILE* f = plain_file(png, "kind.png");
        Map map(0, 256);
        std::uint8_t untouched = 0;
        std::uint8_t* pixels = &untouched;
        int w = -1;
        EXPECT_EQ(read_png(f, &pixels, &map.cmap, &w, nullptr), -6) << k.name;
        EXPECT_EQ(pixels, &untouched) << k.name;
        EXPECT_EQ(w, -1) << k.name;
        for (int i = 0; i < 256; i++) map.expect_untouched(i);
        std::fclose(f);
    }
}

// libpng asks the reader for the 0 data bytes of an empty text or suggested-palette
// chunk: the data stream must read such a picture as a plain file does.
TEST(ReadPng, EmptyChunksReadFromEitherStream) {
    PalettePicture pic = make_picture(20, 10, 16, 7);
    Bytes png = encode_png(pic);
    Bytes chunks;
    for (const char* type : {"tEXt", "sPLT", "iTXt"}) {
        const Bytes chunk = {0, 0, 0, 0, std::uint8_t(type[0]), std::uint8_t(type[1]), std::uint8_t(type[2]), std::uint8_t(type[3])};
        std::uint32_t crc = std::uint32_t(crc32(0, chunk.data() + 4, 4));
        chunks.insert(chunks.end(), chunk.begin(), chunk.end());
        for (int s = 24; s >= 0; s -= 8) chunks.push_back(std::uint8_t(crc >> s));
    }
    png.insert(png.begin() + 33, chunks.begin(), chunks.end());  // after IHDR

    std::uint8_t* pixels = nullptr;
    std::FILE* f = plain_file(png, "empty-chunks.png");
    ASSERT_EQ(read_png(f, &pixels, nullptr, nullptr, nullptr), 0);
    std::fclose(f);
    EXPECT_EQ(Bytes(pixels, pixels + 200), pic.pixels);
    std::free(pixels);

    fp = testbox::open_scrambled(png, 78);
    pixels = nullptr;
    ASSERT_EQ(read_png(nullptr, &pixels, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::ftell(fp), long(png.size()));
    std::fclose(fp);
    EXPECT_EQ(Bytes(pixels, pixels + 200), pic.pixels);
    std::free(pixels);
}

// A broken picture is reported, never a crash or an exit; run under the address
// sanitizer this also shows nothing is leaked on the way out.
void expect_broken(const Bytes& png, const std::string& what) {
    Map map(0, 256);
    std::uint8_t* pixels = nullptr;

    std::FILE* f = plain_file(png, "broken.png");
    EXPECT_EQ(read_png(f, &pixels, &map.cmap, nullptr, nullptr), -7) << what << ", plain file";
    std::fclose(f);

    fp = testbox::open_scrambled(png, 77);
    EXPECT_EQ(read_png(nullptr, &pixels, &map.cmap, nullptr, nullptr), -7) << what << ", data stream";
    std::fclose(fp);

    EXPECT_EQ(pixels, nullptr) << what;
    for (int i = 0; i < 256; i++) map.expect_untouched(i);
}

TEST(ReadPng, TruncatedPicturesFail) {
    Bytes png = encode_png(make_picture(200, 100, 256, 5));
    ASSERT_GT(png.size(), 8000u);
    // Cut inside the signature, the header, the palette, the image data and IEND.
    for (std::size_t cut : {std::size_t(0), std::size_t(5), std::size_t(8), std::size_t(20), std::size_t(40),
                            std::size_t(400), png.size() / 2, png.size() - 13, png.size() - 1}) {
        expect_broken(Bytes(png.begin(), png.begin() + long(cut)), "cut at " + std::to_string(cut));
    }
}

TEST(ReadPng, CorruptPicturesFail) {
    Bytes png = encode_png(make_picture(64, 64, 256, 6));
    Bytes not_png = png;
    not_png[1] = 'J';
    expect_broken(not_png, "bad signature");
    Bytes header = png;
    header[8 + 8 + 3] ^= 0x40;  // the width, under the header's checksum
    expect_broken(header, "header checksum");
    Bytes data = png;
    data[png.size() - 12 - 100] ^= 0x08;  // inside the compressed image
    expect_broken(data, "image data checksum");
}

}  // namespace
