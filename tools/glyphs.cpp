#include "glyphs.h"

#include <sstream>

namespace glyphs {

bool parse(const std::string& text, Glyphs& out, std::string& error) {
    std::stringstream in(text);
    std::string line;
    int number = 0, code = -1, row = 0;
    Glyph g{};
    auto bad = [&](const std::string& what) {
        error = "line " + std::to_string(number) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        number++;
        if (code < 0) {
            if (line.empty() || line[0] == '#') continue;
            if (line.rfind(": ", 0) != 0 || line.size() < 3) return bad("expected ': C'");
            std::string name = line.substr(2);
            code = name == "space" ? ' ' : name == "heart" ? 127 : name.size() == 1 ? static_cast<unsigned char>(name[0]) : -1;
            if (code < 0) return bad("unknown glyph name '" + name + "'");
            if (out.count(code)) return bad("glyph '" + name + "' drawn twice");
            row = 0;
            continue;
        }
        if (int(line.size()) != kWidth) return bad("a glyph row must be " + std::to_string(kWidth) + " wide");
        for (int c = 0; c < kWidth; c++) {
            if (line[c] != '#' && line[c] != '.') return bad("a glyph row holds only '#' and '.'");
            g[row][c] = line[c] == '#';
        }
        if (++row == kHeight) {
            out[code] = g;
            code = -1;
        }
    }
    if (code >= 0) return bad("the last glyph is cut short");
    return true;
}

}  // namespace glyphs
