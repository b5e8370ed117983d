#include "show/pngload.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>

#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/vidparm.h"

namespace {

// Bytes from the position of file to its end. The plain seeks come back to where they
// started, so the keystream stays in line with the file.
long bytes_left(std::FILE* file) {
    long here = std::ftell(file);
    std::fseek(file, 0, SEEK_END);
    long end = std::ftell(file);
    std::fseek(file, here, SEEK_SET);
    return end - here;
}

// A picture from the data stream may decode while a soundtrack plays (the end titles'
// font, in the middle of the main soundtrack): the decode of 352 rows takes longer than
// a frame period on a slow box, so the sound device is fed every 32 rows meanwhile.
void feed_sound(png_structp, png_uint_32 row, int) {
    if (row % 32 == 0 && ac3_playing()) ac3_process();
}

}  // namespace

void user_read_data(png_structp decoder, png_bytep buf, png_size_t len) {
    // A chunk's length comes from the file, and a damaged one may ask for gigabytes:
    // before a read longer than a read-ahead block, make sure the file holds it, so
    // that it fails at once rather than after unscrambling the whole request.
    if (len > BUFSIZ && png_size_t(std::max(bytes_left(fp), 0L)) < len) png_error(decoder, "read past the end of the data");
    // A short read is an error, as in libpng's own stdio reader: the decoder would
    // otherwise go on with whatever the buffer held past the end of the file. libpng
    // asks for 0 bytes for an empty text chunk; fread counts no item then.
    if (len > 0 && cryptread(buf, len, 1, fp) != 1) png_error(decoder, "read past the end of the data");
}

int read_png(std::FILE* file, std::uint8_t** pixels_out, struct fb_cmap* map, int* width_out, int* height_out) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_png_error, quiet_png_warning);
    if (png == nullptr) return -1;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return -2;
    }
    // Set between setjmp and a possible longjmp, so kept in memory.
    std::uint8_t* volatile pixels = nullptr;
    png_bytep* volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        std::free(rows);
        std::free(pixels);
        png_destroy_read_struct(&png, &info, nullptr);
        return -7;
    }

    if (file != nullptr)
        png_init_io(png, file);
    else {
        png_set_read_fn(png, nullptr, user_read_data);
        png_set_read_status_fn(png, feed_sound);
    }

    png_read_info(png, info);
    if (png_get_bit_depth(png, info) != 8 || png_get_channels(png, info) != 1) {
        png_destroy_read_struct(&png, &info, nullptr);
        return -6;
    }
    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    if (width_out != nullptr) *width_out = int(width);
    if (height_out != nullptr) *height_out = int(height);

    // On a box with a 32-bit size_t the product could wrap: refuse such a picture.
    bool too_big = height != 0 && width > SIZE_MAX / height;
    pixels = too_big ? nullptr : static_cast<std::uint8_t*>(std::malloc(std::size_t(width) * height));
    if (pixels == nullptr) {
        png_destroy_read_struct(&png, &info, nullptr);
        return -4;
    }
    rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    if (rows == nullptr) {
        std::free(pixels);
        png_destroy_read_struct(&png, &info, nullptr);
        return -5;
    }
    for (png_uint_32 y = 0; y < height; y++) rows[y] = pixels + std::size_t(y) * width;

    png_read_image(png, rows);
    // Through IEND: the stream is left just past this picture, where the next one
    // of the data file begins.
    png_read_end(png, nullptr);
    std::free(rows);

    if (map != nullptr) {
        png_colorp palette = nullptr;
        int entries = 0;
        png_get_PLTE(png, info, &palette, &entries);
        std::uint32_t n = std::uint32_t(entries) < map->len ? std::uint32_t(entries) : map->len;
        for (std::uint32_t i = 0; i < n; i++) {
            map->red[map->start + i] = std::uint16_t(palette[i].red << 8);
            map->green[map->start + i] = std::uint16_t(palette[i].green << 8);
            map->blue[map->start + i] = std::uint16_t(palette[i].blue << 8);
        }
    }

    png_destroy_read_struct(&png, &info, nullptr);
    *pixels_out = pixels;
    return 0;
}
