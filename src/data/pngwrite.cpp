#include "data/pngwrite.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include "show/pngload.h"

namespace {

// Far larger than any picture of the show or its tools: a header that claims more
// is damage, not a picture to make room for.
constexpr png_uint_32 kMostPixelsAcross = 8192;
// Far larger than any file the show's programs read (the data file is some 5 MB): a
// file that goes on past it (a device such as /dev/zero) is not one of them.
constexpr std::size_t kMostFileBytes = std::size_t(256) << 20;

void append(png_structp png, png_bytep data, png_size_t len) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + len);
}

void no_flush(png_structp) {}

// Whether write_file writes path where it is (a device, a pipe, a link) rather than
// beside it.
bool written_in_place(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

struct Source {
    const std::vector<std::uint8_t>* bytes;
    std::size_t pos;
};

void take(png_structp png, png_bytep data, png_size_t len) {
    auto* src = static_cast<Source*>(png_get_io_ptr(png));
    if (src->pos + len > src->bytes->size()) png_error(png, "truncated");
    std::memcpy(data, src->bytes->data() + src->pos, len);
    src->pos += len;
}

}  // namespace

std::vector<std::uint8_t> encode_png(const PalettePicture& picture) {
    std::vector<std::uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, append, no_flush);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, png_uint_32(picture.width), png_uint_32(picture.height), 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> pal;
    for (const auto& c : picture.palette) pal.push_back(png_color{c[0], c[1], c[2]});
    png_set_PLTE(png, info, pal.data(), int(pal.size()));
    png_write_info(png, info);
    for (int y = 0; y < picture.height; y++)
        png_write_row(png, picture.pixels.data() + std::size_t(y) * std::size_t(picture.width));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool write_png(const std::string& path, const PalettePicture& picture) {
    std::vector<std::uint8_t> bytes = encode_png(picture);
    return !bytes.empty() && write_file(path, bytes);
}

std::FILE* open_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    struct stat st;
    if (f != nullptr && (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode))) {
        std::fclose(f);
        f = nullptr;
    }
    return f;
}

bool read_file(const std::string& path, std::vector<std::uint8_t>& out) {
    std::FILE* f = open_file(path);
    if (f == nullptr) return false;
    out.clear();
    std::uint8_t block[65536];
    std::size_t n;
    while (out.size() <= kMostFileBytes && (n = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
    bool ok = !std::ferror(f) && out.size() <= kMostFileBytes;
    std::fclose(f);
    return ok;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const bool in_place = written_in_place(path);
    std::string temp, why;
    if (!in_place && !make_temp(path, temp, why)) return false;
    std::ofstream f(in_place ? path : temp, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    f.close();
    if (in_place) return bool(f);
    if (f && std::rename(temp.c_str(), path.c_str()) == 0) return true;
    std::remove(temp.c_str());
    return false;
}

bool make_temp(const std::string& path, std::string& temp, std::string& why) {
    const std::size_t name_at = path.rfind('/') + 1;  // 0 without a folder
    // A name that a folder entry does not hold could never be given to the file.
    const bool fits = path.size() - name_at <= NAME_MAX;
    errno = ENAMETOOLONG;
    for (unsigned attempt = 0; fits && attempt < 100; attempt++) {
        std::string suffix(".");
        suffix.append(std::to_string(getpid()));
        if (attempt > 0) suffix.append("-").append(std::to_string(attempt));
        suffix.append(".part");
        // A name that takes up what a folder entry holds gives up its end to the suffix.
        temp = path.substr(0, name_at + std::min(path.size() - name_at, std::size_t(NAME_MAX) - suffix.size()));
        temp.append(suffix);
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EEXIST) break;
    }
    why = std::string("cannot be created (") + std::strerror(errno) + ")";
    temp.clear();
    return false;
}

bool can_write_file(const std::string& path, std::string& why) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        why = "is a directory";
        return false;
    }
    if (written_in_place(path)) {
        if (::access(path.c_str(), W_OK) == 0) return true;
        why = std::string("cannot be written (") + std::strerror(errno) + ")";
        return false;
    }
    std::string temp;
    if (!make_temp(path, temp, why)) return false;
    std::remove(temp.c_str());
    return true;
}

bool decode_png(const std::vector<std::uint8_t>& bytes, PalettePicture& picture) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_png_error, quiet_png_warning);
    png_infop info = png_create_info_struct(png);
    Source src{&bytes, 0};
    png_set_user_limits(png, kMostPixelsAcross, kMostPixelsAcross);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &src, take);
    png_read_info(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE || png_get_bit_depth(png, info) != 8) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    picture.width = int(png_get_image_width(png, info));
    picture.height = int(png_get_image_height(png, info));
    picture.pixels.assign(std::size_t(picture.width) * std::size_t(picture.height), 0);
    png_colorp pal = nullptr;
    int n = 0;
    png_get_PLTE(png, info, &pal, &n);
    picture.palette.clear();
    for (int i = 0; i < n; i++) picture.palette.push_back({pal[i].red, pal[i].green, pal[i].blue});
    for (int y = 0; y < picture.height; y++)
        png_read_row(png, picture.pixels.data() + std::size_t(y) * std::size_t(picture.width), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}
