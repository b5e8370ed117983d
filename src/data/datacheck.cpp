#include "data/datacheck.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <zlib.h>

#include "data/datafile.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/pngload.h"
#include "show/seeds.h"
#include "show/vidparm.h"

namespace datafile {

std::uint16_t ac3_crc(const std::uint8_t* data, std::size_t len) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < len; i++) {
        crc ^= std::uint16_t(data[i] << 8);
        for (int b = 0; b < 8; b++) crc = std::uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
    }
    return crc;
}

int ac3_crc_failures(const std::uint8_t* frame, std::size_t len) {
    // Both run from the word after the sync word: crc1 to the end of the first 5/8 of
    // the frame's 16-bit words, crc2 (the frame's last word) to the end. Over a sound
    // frame each comes out 0.
    std::size_t five_eighths = ((len >> 2) + (len >> 4)) << 1;
    return (ac3_crc(frame + 2, five_eighths - 2) != 0 ? 1 : 0) | (ac3_crc(frame + 2, len - 2) != 0 ? 2 : 0);
}

namespace {

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t kMainAt = std::size_t(kMainSoundtrackOffset);
constexpr std::size_t kSeparatorAt = kMainAt - 1;
constexpr unsigned kRates[3] = {48000, 44100, 32000};
const char* const kCrcText[4] = {"", "crc1 fails", "crc2 fails", "crc1 and crc2 fail"};

// What is wrong with a picture's size, or nothing.
using SizeRule = std::function<std::string(int width, int height)>;

std::string at(std::size_t offset) { return "offset " + std::to_string(offset); }

void damage(Check& check, Finding& f, const std::string& what) {
    f.ok = false;
    f.what = what;
    check.damaged = true;
}

void not_found(Check& check, const std::string& name) {
    Finding f{name};
    damage(check, f, "cannot be found: the damage before it hides where it starts");
    check.items.push_back(f);
}

std::uint32_t be32(const Bytes& d, std::size_t p) {
    return std::uint32_t(d[p]) << 24 | std::uint32_t(d[p + 1]) << 16 | std::uint32_t(d[p + 2]) << 8 | d[p + 3];
}

// The first chunk of the PNG stream at d[pos] whose CRC does not match; empty when
// every chunk through IEND matches or the chunks cannot be walked (then the decoder
// says what is wrong).
std::string bad_chunk(const Bytes& d, std::size_t pos) {
    std::size_t length = png_chunks_length(d, pos);
    for (std::size_t p = pos + 8; length > 0 && p < pos + length;) {
        std::size_t len = be32(d, p);
        if (std::uint32_t(crc32(0, d.data() + p + 4, uInt(len + 4))) != be32(d, p + 8 + len))
            return "chunk " + std::string(d.begin() + long(p + 4), d.begin() + long(p + 8)) + " at " + at(p) +
                   ": its CRC does not match";
        p += 12 + len;
    }
    return {};
}

// The picture at bytes[pos], decoded by read_png from file (null: from the data stream
// fp, which stands at pos). Returns where it ends, 0 when that cannot be told.
std::size_t picture(Check& check, const std::string& name, const Bytes& bytes, std::size_t pos, std::FILE* file,
                    const SizeRule& size_fault) {
    Finding f{name, pos};
    std::uint8_t* pixels = nullptr;
    int w = 0, h = 0;
    int r = read_png(file, &pixels, nullptr, &w, &h);
    std::free(pixels);
    long read_to = std::ftell(file != nullptr ? file : fp);
    std::size_t chunks = png_chunks_length(bytes, pos);
    std::size_t end = r == 0 ? std::size_t(read_to) : chunks > 0 ? pos + chunks : 0;
    f.size = end > pos ? end - pos : bytes.size() - pos;
    std::string chunk = bad_chunk(bytes, pos);
    if (bytes.size() - pos < 8 || !std::equal(kPngSignature, kPngSignature + 8, bytes.begin() + long(pos))) {
        damage(check, f, bytes.size() - pos < 8 ? "the file ends in it" : "its PNG signature is damaged");
    } else if (!chunk.empty()) {
        damage(check, f, chunk);
    } else if (r != 0) {
        damage(check, f, "does not decode as an 8-bit picture (read_png " + std::to_string(r) + ")");
    } else if (bytes[pos + 24] != 8 || bytes[pos + 25] != 3) {
        damage(check, f, "is not an 8-bit palette picture");
    } else if (std::string why = size_fault(w, h); !why.empty()) {
        damage(check, f, "is " + std::to_string(w) + " x " + std::to_string(h) + ", " + why);
    } else {
        f.what = std::to_string(w) + " x " + std::to_string(h) + ", 8-bit palette";
    }
    check.items.push_back(f);
    return end;
}

// The run of AC-3 frames at plain[pos], scanned as the player scans it (to the first
// 6 bytes that do not start with a sync word), each frame's CRCs verified. Returns
// where the run ends.
std::size_t soundtrack(Check& check, Finding& f, const Bytes& plain, std::size_t pos, std::size_t& frames) {
    std::size_t p = std::min(pos, plain.size()), failing = 0;
    unsigned rate = 0;
    std::string fault;
    frames = 0;
    auto note = [&](const std::string& what) {
        if (fault.empty()) fault = "frame " + std::to_string(frames) + " at " + at(p) + ": " + what;
    };
    while (plain.size() - p >= 6 && plain[p] == 0x0B && plain[p + 1] == 0x77) {
        unsigned code = plain[p + 4] & 0x3F, fscod = plain[p + 4] >> 6;
        if (code > 37 || fscod == 3) {
            // The player refuses a stream that starts with such a frame; later, its
            // rate is not the stream's, and the music stops there.
            note(code > 37      ? "frame size code " + std::to_string(code) + ", the show refuses the soundtrack"
                 : frames == 0 ? "sample rate code 3, the show refuses the soundtrack"
                               : "sample rate code 3, the music stops there");
            break;
        }
        if (frames == 0) rate = fscod;
        if (fscod != rate) note("another sample rate than the first frame's, the music stops there");
        std::size_t len = std::size_t(framesizes[code * 4 + fscod]);
        if (len > plain.size() - p) {
            note("runs past the end of the file, the show refuses the soundtrack");
            p = plain.size();
            break;
        }
        if (int failed = ac3_crc_failures(&plain[p], len)) {
            note(kCrcText[failed]);
            failing++;
        }
        p += len;
        frames++;
    }
    f.size = p - std::min(pos, plain.size());
    char text[96];
    std::snprintf(text, sizeof text, "%zu frames, %.3f s at %u Hz", frames, double(frames) * 1536.0 / kRates[rate], kRates[rate]);
    f.what = text;
    if (failing > 1) fault += " (" + std::to_string(failing) + " frames fail a CRC)";
    if (!fault.empty()) damage(check, f, fault);
    return p;
}

// The frames ended at `end`, short of where the next item starts.
std::string cut_short(std::size_t frames, std::size_t end, const std::string& consequence) {
    return "frame " + std::to_string(frames) + " at " + at(end) + " has no sync word: " + consequence;
}

}  // namespace

Check check(std::FILE* stored, std::FILE* logo) {
    Check c;
    fp = stored;
    std::fseek(stored, 0, SEEK_END);
    Bytes plain(std::size_t(std::max(std::ftell(stored), 0L)));
    std::rewind(stored);
    initcrypt(kDataSeed);
    if (cryptread(plain.data(), plain.size(), 1, fp) != 1 && !plain.empty()) {
        Finding f{"data file"};
        damage(c, f, "cannot be read");
        c.items.push_back(f);
        return c;
    }

    // The prelude reads its pictures one after the other from the start.
    std::size_t pos = 0;
    for (int i = 0; i < 4; i++) {
        std::string name = "prelude picture " + std::to_string(i);
        if (i > 0 && pos == 0) {
            not_found(c, name);
            continue;
        }
        cryptseek(fp, long(pos), SEEK_SET);
        const PictureSize need = kPreludeSizes[i];
        pos = picture(c, name, plain, pos, nullptr,
                      [need](int w, int h) { return need.fits(w, h) ? std::string() : "the prelude needs " + need.text(); });
    }
    if (pos == 0) {
        not_found(c, "prelude soundtrack");
    } else {
        Finding f{"prelude soundtrack", pos};
        std::size_t frames = 0;
        std::size_t end = soundtrack(c, f, plain, pos, frames);
        if (f.ok && end < kSeparatorAt)
            damage(c, f, cut_short(frames, end, "the prelude's music ends there, before the separator at " + at(kSeparatorAt)));
        else if (f.ok && end > kSeparatorAt)
            damage(c, f, "runs on past the separator at " + at(kSeparatorAt) + ": the prelude takes too many bytes");
        c.items.push_back(f);
    }

    Finding separator{"separator", kSeparatorAt, 1};
    separator.what = "1 byte";
    if (plain.size() <= kSeparatorAt) damage(c, separator, "the file ends before it");
    c.items.push_back(separator);

    // The main soundtrack's place is fixed; the end-title font follows its last frame.
    Finding main{"main soundtrack", kMainAt};
    std::size_t frames = 0;
    std::size_t end = soundtrack(c, main, plain, kMainAt, frames);
    // Where the frames end, the font begins: by its signature, or, when that is what is
    // damaged, by its header chunk behind it.
    auto found = std::search(plain.begin() + long(end), plain.end(), kPngSignature, kPngSignature + 8);
    std::size_t font_at = found == plain.end() ? 0 : std::size_t(found - plain.begin());
    if (plain.size() - end >= 16 && std::equal(plain.begin() + long(end) + 12, plain.begin() + long(end) + 16, "IHDR"))
        font_at = end;
    if (main.ok && frames == 0) {
        damage(c, main, "no AC-3 frame starts here: the show cannot load its soundtrack");
    } else if (main.ok && font_at != end && end < plain.size()) {
        damage(c, main, cut_short(frames, end, "the show's music ends there, before the end-title font"));
    } else if (main.ok && frames < kMainFramesNeeded) {
        main.ok = false;
        main.what += ": the show needs " + std::to_string(kMainFramesNeeded);
        c.short_soundtrack = true;
    }
    c.items.push_back(main);

    std::size_t text_at = 0;
    if (font_at == 0) {
        Finding f{"end-title font", end};
        damage(c, f, end < plain.size() ? "no PNG stream follows the main soundtrack" : "the file ends before it");
        c.items.push_back(f);
    } else {
        cryptseek(fp, long(font_at), SEEK_SET);
        text_at = picture(c, "end-title font", plain, font_at, nullptr, [](int w, int h) {
            return w >= 16 && h >= 16 ? std::string() : "too small for 16 x 16 glyph cells";
        });
    }

    if (text_at == 0) {
        not_found(c, "end-title text");
    } else {
        Finding f{"end-title text", text_at, plain.size() - text_at};
        auto zero = std::find(plain.begin() + long(text_at), plain.end(), 0);
        if (zero == plain.end()) {
            damage(c, f, "no 0 byte ends the text");
        } else if (zero + 1 != plain.end()) {
            std::size_t after = std::size_t(zero - plain.begin()) + 1;
            std::size_t n = plain.size() - after;
            damage(c, f, std::to_string(n) + (n == 1 ? " byte follows" : " bytes follow") + " the 0 byte that ends the text, from " + at(after));
        } else {
            f.what = std::to_string(1 + std::count(plain.begin() + long(text_at), zero, '\n')) + " lines";
        }
        c.items.push_back(f);
    }

    if (logo != nullptr) {
        Bytes bytes;
        for (int ch; (ch = std::fgetc(logo)) != EOF;) bytes.push_back(std::uint8_t(ch));
        std::rewind(logo);
        // A fault of the logo is its own, not the data file's.
        const bool data_damaged = c.damaged;
        picture(c, "logo", bytes, 0, logo, [](int w, int h) {
            return w == 256 && h == 256 ? std::string() : "the zoomer needs 256 x 256";
        });
        c.logo_damaged = !c.items.back().ok;
        c.damaged = data_damaged;
    }
    return c;
}

std::string report(const Check& check) {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%-20s %9s %9s  %s\n", "item", "offset", "size", "check");
    out += line;
    for (const Finding& f : check.items) {
        std::snprintf(line, sizeof line, "%-20s %9zu %9zu  %s  ", f.item.c_str(), f.offset, f.size, f.ok ? "ok " : "BAD");
        out += line + f.what + "\n";
    }
    return out;
}

}  // namespace datafile
