#include "box/emu/console.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "box/emu/emu.h"

namespace emu {
namespace {

ssize_t cookie_write(void* cookie, const char* buf, std::size_t size) {
    static_cast<Console*>(cookie)->write(buf, size);
    return ssize_t(size);
}

int cookie_close(void*) { return 0; }

std::string json_string(const char* data, std::size_t len) {
    std::string out = "\"";
    for (std::size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace

Console::Console(Box& box) : cursor_shown(box.config.cursor_shown), box_(box) { text_.fill(' '); }

std::FILE* Console::open() {
    if (box_.config.has(Fault::TtyMissing)) {
        errno = ENOENT;
        return nullptr;
    }
    cookie_io_functions_t io{};
    io.write = cookie_write;
    io.close = cookie_close;
    return fopencookie(this, "w", io);
}

void Console::write(const char* data, std::size_t len) {
    box_.trace(R"({"req":"write","dev":"/dev/tty0","text":)" + json_string(data, len) + "}");
    for (std::size_t i = 0; i < len; i++) put(static_cast<unsigned char>(data[i]));
}

void Console::put(unsigned char c) {
    switch (state_) {
    case State::Text:
        if (c == 0x1b)
            state_ = State::Escape;
        else if (c == '\n')
            newline();  // the tty's output processing turns LF into CR LF
        else if (c == '\r')
            column = 0;
        else if (c >= 0x20)
            draw_glyph(c);
        return;
    case State::Escape:
        if (c == '[') {
            state_ = State::Csi;
            params_.clear();
            return;
        }
        if (c == 'c') {
            reset();
            resets++;
        }
        state_ = State::Text;
        return;
    case State::Csi:
        if (c >= 0x40 && c <= 0x7e) {
            end_sequence(char(c));
            state_ = State::Text;
        } else {
            params_ += char(c);
        }
        return;
    }
}

void Console::end_sequence(char final) {
    if (final == 'J' && params_ == "2") {
        // Clears the screen, leaves the cursor where it is.
        clear_text();
    } else if (final == 'H' && params_.empty()) {
        column = line = 0;
    } else if (final == 'c' && !params_.empty() && params_[0] == '?') {
        // A first parameter of 0 (or none) asks for the default appearance.
        std::string shape = params_.substr(1);
        cursor_shape = std::strtoul(shape.c_str(), nullptr, 10) != 0 ? shape : "";
    } else if ((final == 'l' || final == 'h') && params_ == "?25") {
        cursor_shown = final == 'h';
    }
}

void Console::clear_text() {
    text_.fill(' ');
    std::memset(box_.fb.memory.data(), 0, std::size_t(kLines) * 8 * box_.fb.fix.line_length);
}

void Console::redraw() {
    for (unsigned cell = 0; cell < text_.size(); cell++) draw_cell(cell);
}

void Console::reset() {
    clear_text();
    column = line = 0;
    cursor_shape.clear();
    cursor_shown = box_.config.cursor_shown;
}

void Console::newline() {
    column = 0;
    if (++line < kLines) return;
    // Scroll the text area up by one text line.
    std::size_t stride = box_.fb.fix.line_length;
    std::uint8_t* top = box_.fb.memory.data();
    std::memmove(top, top + 8 * stride, (kLines - 1) * 8 * stride);
    std::memset(top + (kLines - 1) * 8 * stride, 0, 8 * stride);
    std::copy(text_.begin() + kColumns, text_.end(), text_.begin());
    std::fill(text_.end() - kColumns, text_.end(), ' ');
    line = kLines - 1;
}

void Console::draw_glyph(unsigned char c) {
    if (column >= kColumns) newline();
    unsigned cell = line * kColumns + column;
    text_[cell] = c;
    draw_cell(cell);
    column++;
}

void Console::draw_cell(unsigned cell) {
    const std::uint8_t* glyph = kConsoleFont[text_[cell]];
    std::size_t stride = box_.fb.fix.line_length;
    std::uint8_t* at = box_.fb.memory.data() + std::size_t(cell / kColumns) * 8 * stride + cell % kColumns * 8;
    for (unsigned row = 0; row < 8; row++)
        for (unsigned bit = 0; bit < 8; bit++) at[row * stride + bit] = (glyph[row] & (0x80 >> bit)) ? kInk : 0;
}

}  // namespace emu
