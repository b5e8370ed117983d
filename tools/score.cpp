#include "score.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace music {

double Instrument::number(const std::string& key, double fallback) const {
    auto it = numbers.find(key);
    return it == numbers.end() ? fallback : it->second;
}

std::string Instrument::word(const std::string& key, const std::string& fallback) const {
    auto it = words.find(key);
    return it == words.end() ? fallback : it->second;
}

namespace {

struct Failure {
    std::string what;
};

[[noreturn]] void fail(const std::string& what) { throw Failure{what}; }

double to_number(const std::string& s) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != 0 || !std::isfinite(v)) fail("not a number: '" + s + "'");
    return v;
}

int to_int(const std::string& s) {
    double v = to_number(s);
    if (v != std::floor(v) || v < -1e6 || v > 1e6) fail("not a whole number: '" + s + "'");
    return int(v);
}

// "c4", "f#2", "bb3" as a MIDI note number (c4 = 60).
bool note_number(const std::string& s, double& out) {
    static const int base[7] = {9, 11, 0, 2, 4, 5, 7};  // a b c d e f g
    if (s.size() < 2 || s[0] < 'a' || s[0] > 'g') return false;
    int n = base[s[0] - 'a'];
    std::size_t i = 1;
    if (s[i] == '#') n++, i++;
    else if (s[i] == 'b' && i + 1 < s.size()) n--, i++;
    if (i >= s.size() || s.size() - i > 1) return false;  // octaves 0 to 9
    for (std::size_t k = i; k < s.size(); k++)
        if (s[k] < '0' || s[k] > '9') return false;
    out = 12 * (std::atoi(s.c_str() + i) + 1) + n;
    return true;
}

// One step of a grid, or the notes of a hit: "x", "1".."9", a note or a chord.
// Fills pitches (empty for a plain strike, which sounds at the instrument's own note)
// and a velocity.
void strike(const std::string& token, std::vector<double>& pitches, double& velocity) {
    pitches.clear();
    velocity = 1;
    if (token == "x") return;
    if (token.size() == 1 && token[0] >= '1' && token[0] <= '9') {
        velocity = (token[0] - '0') / 9.0;
        return;
    }
    std::stringstream parts(token);
    std::string one;
    while (std::getline(parts, one, '+')) {
        double p;
        if (!note_number(one, p)) fail("not a note: '" + token + "'");
        pitches.push_back(p);
    }
}

struct Pattern {
    int steps = 0;
    int bars = 1;
    // Per grid line: instrument, velocity scale and tokens.
    struct Line {
        int instrument;
        double scale;
        std::vector<std::string> tokens;
    };
    std::vector<Line> lines;
};

// An event before time is resolved: positions in beats from the start of bar 1.
struct Event {
    double beat, beats;
    int instrument;
    double pitch, velocity;
};

struct Parser {
    explicit Parser(Song& s) : song(s) {}
    Song& song;
    std::map<std::string, int> instruments;
    std::map<std::string, Pattern> patterns;
    std::vector<std::pair<int, int>> meters{{1, 4}};  // from bar, beats per bar
    std::vector<std::pair<double, double>> pin_list;   // beat, frame
    std::vector<Event> events;
    // Plays and hits wait until every meter is known.
    struct Play {
        int first, last;
        std::string pattern;
        int transpose;
    };
    std::vector<Play> plays;
    struct Hit {
        std::string position, token;
        int instrument;
        double velocity, beats;
    };
    std::vector<Hit> hits;
    std::vector<std::string> pin_positions;
    std::vector<double> pin_frames;

    int meter_of(int bar) const {
        int beats = 4;
        for (auto [from, b] : meters)
            if (bar >= from) beats = b;
        return beats;
    }

    double bar_beat(int bar) const {
        double b = 0;
        for (int k = 1; k < bar; k++) b += meter_of(k);
        return b;
    }

    double position(const std::string& s) const {
        std::size_t colon = s.find(':');
        int bar = to_int(s.substr(0, colon));
        if (bar < 1) fail("bars count from 1: '" + s + "'");
        double beat = colon == std::string::npos ? 0 : to_number(s.substr(colon + 1));
        if (beat < 0 || beat >= meter_of(bar)) fail("beat outside its bar: '" + s + "'");
        return bar_beat(bar) + beat;
    }

    int instrument(const std::string& name) const {
        auto it = instruments.find(name);
        if (it == instruments.end()) fail("no instrument '" + name + "'");
        return it->second;
    }

    static void settings(const std::vector<std::string>& words, std::size_t from, std::map<std::string, double>& numbers,
                         std::map<std::string, std::string>* text) {
        for (std::size_t i = from; i < words.size(); i++) {
            std::size_t eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0) fail("expected key=value: '" + words[i] + "'");
            std::string key = words[i].substr(0, eq), value = words[i].substr(eq + 1);
            char* end = nullptr;
            double v = std::strtod(value.c_str(), &end);
            if (!value.empty() && *end == 0 && std::isfinite(v)) numbers[key] = v;
            else if (text) (*text)[key] = value;
            else fail("expected a number: '" + words[i] + "'");
        }
    }

    void command(const std::vector<std::string>& w) {
        const std::string& c = w[0];
        if (c == "length" && w.size() == 2) {
            song.frames = to_int(w[1]);
            if (song.frames <= 0) fail("length must be positive");
        } else if (c == "meter" && (w.size() == 2 || (w.size() == 4 && w[2] == "from"))) {
            int beats = to_int(w[1]), from = w.size() == 4 ? to_int(w[3]) : 1;
            if (beats < 1 || beats > 16 || from < 1) fail("bad meter");
            meters.push_back({from, beats});
            std::stable_sort(meters.begin(), meters.end(), [](auto a, auto b) { return a.first < b.first; });
        } else if (c == "pin" && w.size() == 3) {
            pin_positions.push_back(w[1]);
            pin_frames.push_back(to_number(w[2]));
        } else if (c == "master") {
            settings(w, 1, song.master, nullptr);
        } else if (c == "instrument" && w.size() >= 3) {
            if (instruments.count(w[1])) fail("instrument '" + w[1] + "' defined twice");
            static const char* types[] = {"drum", "synth", "fm", "noise"};
            if (std::find(std::begin(types), std::end(types), w[2]) == std::end(types)) fail("no instrument type '" + w[2] + "'");
            Instrument ins;
            ins.name = w[1];
            ins.type = w[2];
            settings(w, 3, ins.numbers, &ins.words);
            static const std::vector<std::string> kinds = {"kick", "snare", "clap", "hat", "openhat", "crash", "tom", "boom"};
            static const std::vector<std::string> waves = {"saw", "square", "pulse", "tri", "sine"};
            auto known = [](const std::vector<std::string>& list, const std::string& v) {
                return std::find(list.begin(), list.end(), v) != list.end();
            };
            if (ins.type == "drum" && !known(kinds, ins.word("kind", "kick"))) fail("no drum kind '" + ins.word("kind", "") + "'");
            if (ins.type == "synth" && !known(waves, ins.word("wave", "saw"))) fail("no wave '" + ins.word("wave", "") + "'");
            instruments[w[1]] = int(song.instruments.size());
            song.instruments.push_back(ins);
        } else if (c == "play" && w.size() >= 3) {
            std::size_t dash = w[1].find('-');
            int first = to_int(w[1].substr(0, dash)), last = dash == std::string::npos ? first : to_int(w[1].substr(dash + 1));
            if (first < 1 || last < first) fail("bad bar range '" + w[1] + "'");
            for (std::size_t i = 2; i < w.size(); i++) {
                std::size_t at = w[i].find('@');
                std::string name = w[i].substr(0, at);
                if (!patterns.count(name)) fail("no pattern '" + name + "'");
                plays.push_back({first, last, name, at == std::string::npos ? 0 : to_int(w[i].substr(at + 1))});
            }
        } else if (c == "hit" && w.size() >= 4 && w.size() <= 6) {
            hits.push_back({w[1], w[3], instrument(w[2]), w.size() > 4 ? to_number(w[4]) : 1.0,
                            w.size() > 5 ? to_number(w[5]) : 1.0});
        } else {
            fail("cannot read '" + c + "' here");
        }
    }

    // The notes of one pass of a pattern starting at `start` beats, `beats` long in all.
    void lay(const Pattern& p, double start, double beats, int transpose, double cut) {
        double step = beats / p.steps;
        for (const Pattern::Line& line : p.lines) {
            std::vector<std::size_t> open;  // indices into events of the sounding notes
            auto close = [&](double at) {
                for (std::size_t e : open) events[e].beats = at - events[e].beat;
                open.clear();
            };
            for (int k = 0; k < p.steps; k++) {
                double at = start + k * step;
                const std::string& t = line.tokens[k];
                if (at >= cut) {
                    close(cut);
                    break;
                }
                if (t == "-") continue;
                close(at);
                if (t == ".") continue;
                std::vector<double> pitches;
                double velocity;
                strike(t, pitches, velocity);
                const Instrument& ins = song.instruments[line.instrument];
                if (pitches.empty()) pitches.push_back(ins.number("note", 60));
                else
                    for (double& q : pitches) q += transpose;
                for (double q : pitches) {
                    open.push_back(events.size());
                    events.push_back({at, step, line.instrument, q, velocity * line.scale});
                }
            }
            close(std::min(cut, start + beats));
        }
    }

    void resolve() {
        for (const Play& pl : plays) {
            const Pattern& p = patterns.at(pl.pattern);
            double end = bar_beat(pl.last + 1);
            for (int bar = pl.first; bar <= pl.last; bar += p.bars) {
                double start = bar_beat(bar);
                lay(p, start, bar_beat(bar + p.bars) - start, pl.transpose, end);
            }
        }
        for (const Hit& h : hits) {
            std::vector<double> pitches;
            double v;
            strike(h.token, pitches, v);
            if (pitches.empty()) pitches.push_back(song.instruments[h.instrument].number("note", 60));
            for (double q : pitches) events.push_back({position(h.position), h.beats, h.instrument, q, v * h.velocity});
        }
        for (std::size_t i = 0; i < pin_positions.size(); i++) pin_list.push_back({position(pin_positions[i]), pin_frames[i]});
        if (pin_list.size() < 2) fail("needs at least two pins");
        std::sort(pin_list.begin(), pin_list.end());
        for (std::size_t i = 1; i < pin_list.size(); i++)
            if (pin_list[i].first <= pin_list[i - 1].first || pin_list[i].second <= pin_list[i - 1].second)
                fail("pins must run forward in both beats and frames");
        if (song.frames == 0) fail("no length");
        double samples = double(song.frames) * song.frame;
        for (const Event& e : events) {
            Note n;
            n.start = frame_at(e.beat) * song.frame;
            n.length = frame_at(e.beat + e.beats) * song.frame - n.start;
            n.instrument = e.instrument;
            n.pitch = e.pitch;
            n.velocity = e.velocity;
            // Bars before the first pin can fall before the piece's start; they are not played.
            if (n.start >= 0 && n.start < samples) song.notes.push_back(n);
        }
        std::stable_sort(song.notes.begin(), song.notes.end(),
                         [](const Note& a, const Note& b) { return a.start < b.start; });
    }

    // Frames at a beat: straight between pins, and on at the nearest pins' pace outside.
    double frame_at(double beat) const {
        std::size_t i = 1;
        while (i + 1 < pin_list.size() && beat > pin_list[i].first) i++;
        auto [b0, f0] = pin_list[i - 1];
        auto [b1, f1] = pin_list[i];
        return f0 + (beat - b0) * (f1 - f0) / (b1 - b0);
    }
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> w;
    std::stringstream s(line);
    std::string one;
    // A comment is a word starting with #; sharps inside notes (c#4) are not.
    while (s >> one && one[0] != '#') w.push_back(one);
    return w;
}

}  // namespace

bool parse(const std::string& text, Song& song, std::string& error) {
    song = Song();
    Parser p(song);
    std::stringstream in(text);
    std::string line;
    int number = 0;
    Pattern* open = nullptr;
    try {
        while (std::getline(in, line)) {
            number++;
            std::vector<std::string> w = split(line);
            if (w.empty()) continue;
            if (open) {
                if (w[0] == "end" && w.size() == 1) {
                    open = nullptr;
                    continue;
                }
                std::size_t star = w[0].find('*');
                Pattern::Line l{p.instrument(w[0].substr(0, star)),
                                star == std::string::npos ? 1.0 : to_number(w[0].substr(star + 1)), {}};
                // Bar lines are there for the reader.
                std::copy_if(w.begin() + 1, w.end(), std::back_inserter(l.tokens), [](const std::string& t) { return t != "|"; });
                if (int(l.tokens.size()) != open->steps)
                    fail("grid line has " + std::to_string(l.tokens.size()) + " steps, the pattern " +
                         std::to_string(open->steps));
                open->lines.push_back(l);
            } else if (w[0] == "pattern" && (w.size() == 3 || w.size() == 4)) {
                if (p.patterns.count(w[1])) fail("pattern '" + w[1] + "' defined twice");
                Pattern& pat = p.patterns[w[1]];
                pat.steps = to_int(w[2]);
                if (w.size() == 4) {
                    if (w[3].rfind("bars=", 0) != 0) fail("expected bars=N");
                    pat.bars = to_int(w[3].substr(5));
                }
                if (pat.steps < 1 || pat.steps > 256 || pat.bars < 1 || pat.bars > 16) fail("bad pattern size");
                open = &pat;
            } else {
                p.command(w);
            }
        }
        if (open) fail("pattern not ended");
        number = 0;
        p.resolve();
    } catch (const Failure& f) {
        error = number > 0 ? "line " + std::to_string(number) + ": " + f.what : f.what;
        return false;
    }
    return true;
}

}  // namespace music
