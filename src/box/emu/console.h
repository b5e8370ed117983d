// The emulated virtual console "/dev/tty0", drawn by the framebuffer console.
//
// It is opened as a stdio stream. Text written to it is drawn with an 8 x 8 font into
// the first 480 lines of the framebuffer memory, whatever page is on display, as the
// kernel's console does: ink colour 7 on background 0, text line i at pixel rows 8i to
// 8i + 7, 80 columns and 60 lines. It keeps the text it shows and draws all of it again,
// blank cells included, after every mode set, as the kernel's console does. It
// understands the sequences the show writes:
// ESC [ 2 J (clear), ESC [ H (home), ESC c (reset, the cursor's default appearance and
// visibility included), ESC [ ? ... c (cursor appearance), ESC [ ? 25 l and h (cursor
// hidden, shown); other CSI sequences are read and ignored. It keeps whether the cursor
// is shown (from boot: Config::cursor_shown) but draws none, as the kernel's console on a
// box booted with vt.global_cursor_default=0, as the VM tests boot theirs
// (tests/vm/README.md says what a console that shows its cursor draws into the pages).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace emu {

class Box;

// The console font: 256 glyphs of 8 rows, bit 7 of a row byte is the leftmost pixel.
extern const std::uint8_t kConsoleFont[256][8];

class Console {
public:
    static constexpr unsigned kColumns = 80;
    static constexpr unsigned kLines = 60;
    static constexpr std::uint8_t kInk = 7;

    explicit Console(Box& box);

    std::FILE* open();
    void write(const char* data, std::size_t len);
    // The framebuffer's mode has been set: every text cell is drawn again over the first
    // 480 lines.
    void redraw();

    unsigned column = 0, line = 0;
    unsigned resets = 0;          // ESC c seen
    std::string cursor_shape;     // parameters of the last ESC [ ? ... c; empty: the default
    bool cursor_shown;

private:
    void put(unsigned char c);
    void draw_glyph(unsigned char c);
    void draw_cell(unsigned cell);
    void newline();
    void clear_text();
    void reset();
    void end_sequence(char final);

    Box& box_;
    std::array<unsigned char, kColumns * kLines> text_;  // each cell's character, line by line
    enum class State { Text, Escape, Csi } state_ = State::Text;
    std::string params_;
};

}  // namespace emu
