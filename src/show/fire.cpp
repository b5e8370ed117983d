#include "show/fire.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/fb.h>

#include "box/box.h"
#include "show/ac3audio.h"
#include "show/encryption.h"
#include "show/exit_status.h"
#include "show/fbstuff.h"
#include "show/seeds.h"
#include "show/showdata.h"
#include "show/vidparm.h"

namespace fire_state {

std::uint8_t* p1;
std::uint8_t* p2;
std::uint8_t* firetexts[8];
int wordcnt;
std::uint8_t lens[8];

}  // namespace fire_state

using fire_state::firetexts;
using fire_state::lens;
using fire_state::p1;
using fire_state::p2;
using fire_state::wordcnt;

namespace {

// Field geometry. A row is 159 cells, not 160: four pixels a cell give 636 of the 640
// screen columns.
constexpr int kCols = 159;
constexpr int kFieldBytes = 121 * kCols;
constexpr int kMaskBytes = 120 * kCols;
constexpr int kFirstComputed = 10 * kCols;      // rows 0 to 9 stay cold
constexpr int kLastComputed = 119 * kCols - 1;  // up to row 118
constexpr int kFirstFed = 119 * kCols;          // rows 119 and 120 take the fresh heat
constexpr int kFirstShownRow = 10;
constexpr int kLastShownRow = 116;

constexpr int kMaxWords = 8;
constexpr int kWordsSize = 37;
constexpr std::uint8_t kTextHeat = 160;  // white in the fire palette
// Last mask positions where a whole 3 x 3 block fits into a row of 159 cells and into
// the mask's 120 rows.
constexpr int kLastBlockColumn = 156;
constexpr int kLastBlockRow = 117;

constexpr int kLineBytes = 640;
constexpr unsigned kPage1Pan = 480;
constexpr char kClearHome[] = "\033[2J\033[H";
constexpr std::size_t kClearHomeBytes = sizeof kClearHome - 1;

std::uint8_t* words;
int wordssize;
std::uint8_t* d1;  // page 0
std::uint8_t* d2;  // page 1

std::uint8_t* cleared_block(std::size_t bytes) {
    auto* block = static_cast<std::uint8_t*>(std::malloc(bytes));
    if (block == nullptr) std::exit(kExitNoMemory);
    std::memset(block, 0, bytes);
    return block;
}

// Prints the word list on the console, one word a text line, and lifts each word's glyph
// pixels out of page 0 into its mask, centred on the field's middle column; then wipes
// the console again so that the words never show as text.
void capture_words() {
    std::fwrite(kClearHome, 1, kClearHomeBytes, ftty);
    std::fprintf(ftty, "%.*s\n\n", wordssize, reinterpret_cast<const char*>(words));
    std::fflush(ftty);
    for (int i = 0; i < wordcnt; i++) {
        int n = lens[i];
        scaletext(0, 8 * i, 79 - 12 * n, 54, 8 * n, 8, firetexts[i]);
    }
    std::fwrite(kClearHome, 1, kClearHomeBytes, ftty);
    std::fflush(ftty);
}

void put_fire_palette() {
    auto* values = static_cast<std::uint16_t*>(std::malloc(3 * 256 * sizeof(std::uint16_t)));
    if (values == nullptr) std::exit(kExitNoMemory);
    for (int e = 0; e < 256; e++) {
        values[e] = std::uint16_t(fire_pal[3 * e] * 257);
        values[256 + e] = std::uint16_t(fire_pal[3 * e + 1] * 257);
        values[512 + e] = std::uint16_t(fire_pal[3 * e + 2] * 257);
    }
    struct fb_cmap map = {0, 256, values, values + 256, values + 512, nullptr};
    int result = box::ioctl(fbfd, FBIOPUTCMAP, &map);
    std::free(values);
    if (result != 0) std::exit(kExitSetUpFailed);
}

void feed(std::uint8_t* field, int seed) {
    if (seed == 0) {
        std::memset(field + kFirstFed, 0, kFieldBytes - kFirstFed);
        return;
    }
    for (int i = kFirstFed; i < kFieldBytes; i++) field[i] = std::uint8_t((std::rand() >> 16) & 255);
}

// Each cell takes the mean of itself, the cell below, the two below it diagonally (as
// one) and the cell two rows down; rounding down is all the cooling there is. Flat
// indices wrap from one row's end into the next row's start on purpose.
void advance(const std::uint8_t* __restrict s, std::uint8_t* __restrict t) {
    for (int i = kFirstComputed; i <= kLastComputed; i++)
        t[i] = std::uint8_t((s[i] + s[i + kCols] + ((s[i + kCols - 1] + s[i + kCols + 1]) >> 1) + s[i + 2 * kCols]) >> 2);
}

// A mask is mostly empty, so it is scanned eight cells at a time. The last group reads
// a few mask bytes past the last computed cell; the mask's 120 rows always hold them.
void burn_text(const std::uint8_t* mask, int offset, std::uint8_t* t) {
    for (int i = kFirstComputed; i <= kLastComputed; i += 8) {
        std::uint64_t group;
        std::memcpy(&group, mask + i + offset, sizeof group);
        if (group == 0) continue;
        for (int k = i; k < i + 8 && k <= kLastComputed; k++)
            if (mask[k + offset] != 0) t[k] = kTextHeat;
    }
}

// Field row r becomes screen lines 4r to 4r + 3: one 32-bit store per cell writes its
// four pixels, then the line is copied once and the pair once more.
void draw(const std::uint8_t* t, std::uint8_t* page) {
    for (int r = kFirstShownRow; r <= kLastShownRow; r++) {
        std::uint8_t* line = page + 4 * r * kLineBytes;
        const std::uint8_t* cells = t + r * kCols;
        for (int c = 0; c < kCols; c++) {
            std::uint32_t quad = cells[c] * 0x01010101u;
            std::memcpy(line + 4 * c, &quad, sizeof quad);
        }
        std::memcpy(line + kLineBytes, line, kLineBytes);
        std::memcpy(line + 2 * kLineBytes, line, 2 * kLineBytes);
    }
}

void half_step(std::uint8_t* s, std::uint8_t* t, std::uint8_t* page, unsigned pan, const std::uint8_t* text,
               int text_offset, int seed) {
    feed(s, seed);
    advance(s, t);
    if (text != nullptr) burn_text(text, text_offset, t);
    draw(t, page);
    vinfo.yoffset = pan;
    box::ioctl(fbfd, FBIOPAN_DISPLAY, &vinfo);
}

}  // namespace

int fire_init() {
    wordssize = kWordsSize;
    // The list is linked writable and unscrambled in place, once per run.
    words = _binary_firewords_crypt_start;
    p1 = cleared_block(kFieldBytes);
    p2 = cleared_block(kFieldBytes);
    simplecrypt(words, std::size_t(wordssize), kWordsSeed);

    // A 0 or a line feed ends a word; bytes after the last end form no word. There are
    // slots for eight words, and a list with more ends keeps the first eight.
    wordcnt = 0;
    int letters = 0;
    for (int i = 0; i < wordssize && wordcnt < kMaxWords; i++) {
        if (words[i] == 0 || words[i] == '\n') {
            lens[wordcnt++] = std::uint8_t(letters);
            letters = 0;
        } else {
            letters++;
        }
    }
    for (int i = 0; i < wordcnt; i++) firetexts[i] = cleared_block(kMaskBytes);

    if (ftty != nullptr) capture_words();
    put_fire_palette();

    std::srand(unsigned(box::time(nullptr)));
    d2 = scrn + kPageBytes;
    d1 = scrn;
    return 0;
}

void scaletext(int srcx, int srcy, int dstx, int dsty, int width, int height, std::uint8_t* mask) {
    for (int y = srcy, ty = dsty; ty <= kLastBlockRow && y < srcy + height; y++, ty += 3) {
        const std::uint8_t* row = scrn + std::ptrdiff_t(y) * std::ptrdiff_t(vinfo.xres_virtual);
        for (int x = srcx, tx = dstx; tx <= kLastBlockColumn && x < srcx + width; x++, tx += 3) {
            if (row[x] == 0) continue;
            std::uint8_t* block = mask + ty * kCols + tx;
            for (int r = 0; r < 3; r++) std::memset(block + r * kCols, kTextHeat, 3);
        }
    }
}

int fire_frame(int index, int seed) {
    // The second page tests the mask one row above, so that the two pages of one frame
    // show the text one field row apart, as if it had already risen.
    const std::uint8_t* text = index >= 0 && index < wordcnt ? firetexts[index] : nullptr;
    half_step(p1, p2, d2, kPage1Pan, text, 0, seed);
    ac3_process();
    half_step(p2, p1, d1, 0, text, -kCols, seed);
    return 0;
}

int fire_deinit() {
    for (int i = 0; i < wordcnt; i++) {
        std::free(firetexts[i]);
        firetexts[i] = nullptr;
    }
    std::free(p2);
    std::free(p1);
    p1 = p2 = nullptr;
    std::memset(scrn, 0, finfo.smem_len);
    return 0;
}
