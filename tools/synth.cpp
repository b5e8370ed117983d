#include "synth.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace music {

namespace {

constexpr double kPi = std::numbers::pi;

// A small fixed-seed noise source (one per note).
struct Noise {
    std::uint32_t state;
    explicit Noise(std::uint32_t seed) : state(seed * 2654435761u + 12345u) {}
    double next() {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 23) - 1.0;
    }
};

// Topology-preserving state-variable filter: low, band and high outputs. The
// coefficients are worked out again only every few samples (a moving cutoff needs no
// more).
struct Filter {
    double ic1 = 0, ic2 = 0;
    double low = 0, band = 0, high = 0;
    double k = 2, a1 = 1, a2 = 0, a3 = 0;
    int age = 0;
    void run(double x, double cutoff, double resonance, double rate) {
        if (age-- <= 0) {
            age = 7;
            cutoff = std::clamp(cutoff, 20.0, rate * 0.45);
            double g = std::tan(kPi * cutoff / rate);
            k = 2.0 - 2.0 * std::clamp(resonance, 0.0, 0.97);
            a1 = 1 / (1 + g * (g + k));
            a2 = g * a1;
            a3 = g * a2;
        }
        double v3 = x - ic2, v1 = a1 * ic1 + a2 * v3, v2 = ic2 + a2 * ic1 + a3 * v3;
        ic1 = 2 * v1 - ic1;
        ic2 = 2 * v2 - ic2;
        low = v2;
        band = v1;
        high = x - k * v1 - v2;
    }
};

// How many samples of a note to make: the `wanted` number, but never more than the
// `limit` left before the piece ends (anything after it would be thrown away).
std::size_t capped_count(double wanted, std::size_t limit) { return wanted < double(limit) ? std::size_t(wanted) : limit; }

double midi_hz(double pitch) { return 440.0 * std::pow(2.0, (pitch - 69.0) / 12.0); }

// Band-limited step correction for the saw and pulse oscillators.
double blep(double t, double dt) {
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1;
    }
    if (t > 1 - dt) {
        t = (t - 1) / dt;
        return t * t + t + t + 1;
    }
    return 0;
}

enum class Wave { saw, pulse, tri, sine };

Wave wave_named(const std::string& name, double& width) {
    if (name == "saw") return Wave::saw;
    if (name == "square") width = 0.5;
    if (name == "square" || name == "pulse") return Wave::pulse;
    return name == "tri" ? Wave::tri : Wave::sine;
}

struct Oscillator {
    double phase = 0;
    double next(Wave wave, double hz, double width, double rate) {
        double dt = hz / rate, p = phase, v;
        if (wave == Wave::saw) {
            v = 2 * p - 1 - blep(p, dt);
        } else if (wave == Wave::pulse) {
            v = (p < width ? 1 : -1) + blep(p, dt) - blep(std::fmod(p + 1 - width, 1.0), dt);
        } else if (wave == Wave::tri) {
            v = p < 0.5 ? 4 * p - 1 : 3 - 4 * p;
        } else {
            v = std::sin(2 * kPi * p);
        }
        phase += dt;
        phase -= std::floor(phase);
        return v;
    }
};

// Attack-decay-sustain-release level at time t of a note let go at `gate`.
double adsr(double t, double gate, double a, double d, double s, double r) {
    auto held = [&](double u) {
        if (u < a) return u / a;
        return s + (1 - s) * std::exp(-(u - a) / std::max(d, 1e-4));
    };
    if (t < gate) return held(t);
    return held(gate) * std::exp(-(t - gate) / std::max(r, 1e-4) * 4.6);
}

struct Stereo {
    std::vector<float> left, right;
    explicit Stereo(std::size_t n) : left(n, 0.f), right(n, 0.f) {}
};

// One note of a drum voice, mono.
enum class Kind { kick, snare, clap, hat, openhat, crash, tom, boom };

Kind kind_named(const std::string& name) {
    static const char* names[] = {"kick", "snare", "clap", "hat", "openhat", "crash", "tom", "boom"};
    for (int k = 0; k < 8; k++)
        if (name == names[k]) return Kind(k);
    return Kind::kick;
}

// At most `limit` samples of the note.
std::vector<float> drum(const Instrument& ins, const Note& n, int rate, std::uint32_t seed, std::size_t limit) {
    const Kind kind = kind_named(ins.word("kind", "kick"));
    // Decay scales the drum's time constants and its length: at most 30 times, which
    // lets the longest (the boom) ring for two minutes.
    const double tone = std::max(ins.number("tone", 1), 0.05), decay = std::clamp(ins.number("decay", 1), 0.05, 30.0);
    double seconds = kind == Kind::boom ? 4.0 : kind == Kind::crash ? 3.0 : kind == Kind::openhat ? 1.0 : 0.8;
    seconds *= std::max(decay, 0.2);
    std::vector<float> out(capped_count(seconds * rate, limit));
    Noise noise(seed);
    Filter f1, f2;
    double phase = 0, phase2 = 0;
    const double f0 = midi_hz(n.pitch) / midi_hz(60);  // strikes at another note retune the drum
    std::array<double, 6> metal{};
    const double metal_hz[6] = {205.3, 304.4, 369.6, 522.7, 540.0, 800.0};
    for (std::size_t i = 0; i < out.size(); i++) {
        double t = double(i) / rate, v = 0;
        if (kind == Kind::kick) {
            double hz = (48 + 130 * std::exp(-t / 0.035)) * tone * f0;
            phase += hz / rate;
            v = std::sin(2 * kPi * phase) * std::exp(-t / (0.3 * decay));
            v += 0.25 * noise.next() * std::exp(-t / 0.002);
            v = std::tanh(1.6 * v);
        } else if (kind == Kind::snare || kind == Kind::clap) {
            double x = noise.next();
            f1.run(x, kind == Kind::snare ? 5000 * tone : 1300 * tone, kind == Kind::snare ? 0.1 : 0.5, rate);
            double body = kind == Kind::snare ? f1.low + 0.4 * f1.high : f1.band * 2;
            double env;
            if (kind == Kind::clap) {
                double burst = std::fmod(t, 0.011);
                env = t < 0.033 ? std::exp(-burst / 0.004) : std::exp(-(t - 0.033) / (0.13 * decay));
            } else {
                env = std::exp(-t / (0.14 * decay));
                phase += 190 * tone * f0 / rate;
                v += 0.55 * std::sin(2 * kPi * phase) * std::exp(-t / 0.06);
            }
            v += body * env;
        } else if (kind == Kind::hat || kind == Kind::openhat || kind == Kind::crash) {
            double m = 0;
            for (int k = 0; k < 6; k++) {
                metal[k] += metal_hz[k] * 1.4 * tone / rate;
                m += metal[k] - std::floor(metal[k]) < 0.5 ? 1 : -1;
            }
            double x = 0.5 * noise.next() + 0.12 * m;
            f1.run(x, 7000 * tone, 0.2, rate);
            f2.run(f1.high, 12000 * tone, 0.1, rate);
            double d = kind == Kind::hat ? 0.045 : kind == Kind::openhat ? 0.28 : 0.9;
            v = (kind == Kind::crash ? f1.high * 0.7 + f2.low * 0.5 : f2.low) * std::exp(-t / (d * decay));
            if (kind == Kind::crash) v *= 1 - std::exp(-t / 0.002);
        } else if (kind == Kind::tom) {
            double hz = midi_hz(n.pitch) * tone * (1 + 0.6 * std::exp(-t / 0.05));
            phase += hz / rate;
            v = std::sin(2 * kPi * phase) * std::exp(-t / (0.35 * decay));
            v += 0.1 * noise.next() * std::exp(-t / 0.01);
        } else {  // boom: a deep falling impact with a rumble under it
            double hz = (26 + 60 * std::exp(-t / 0.25)) * tone;
            phase += hz / rate;
            phase2 += hz * 2.01 / rate;
            f1.run(noise.next(), 180, 0.3, rate);
            v = (std::sin(2 * kPi * phase) + 0.25 * std::sin(2 * kPi * phase2)) * std::exp(-t / (1.1 * decay));
            v += 1.5 * f1.low * std::exp(-t / (0.6 * decay));
            v = std::tanh(1.3 * v);
        }
        out[i] = float(v);
    }
    return out;
}

// One note of a subtractive, FM or noise voice, in stereo, at most `limit` samples.
Stereo tonal(const Instrument& ins, const Note& n, int rate, std::uint32_t seed, std::size_t limit) {
    const double a = ins.number("attack", 0.005), d = ins.number("decay", 0.3), s = ins.number("sustain", 0.7),
                 r = std::clamp(ins.number("release", 0.2), 0.0, 30.0);
    const double gate = std::max(n.length / rate, 0.0);
    const std::size_t count = std::min(capped_count((gate + r) * rate, limit) + 1, limit);
    Stereo out(count);
    const double hz = midi_hz(n.pitch + 12 * ins.number("octave", 0));
    Noise noise(seed);
    if (ins.type == "synth") {
        double width = ins.number("width", 0.3);
        const Wave wave = wave_named(ins.word("wave", "saw"), width);
        const int voices = std::clamp(int(ins.number("voices", 1)), 1, 9);
        const double detune = ins.number("detune", 0.1), spread = ins.number("spread", 0.5);
        const double sub = ins.number("sub", 0);
        const double cutoff = ins.number("cutoff", 2000), envmod = ins.number("envmod", 0),
                     fdecay = std::max(ins.number("fdecay", 0.2), 1e-3), reso = ins.number("reso", 0.2);
        const double vibrato = ins.number("vibrato", 0), vibrate = ins.number("vibrate", 5.5);
        const double keytrack = ins.number("keytrack", 0.5);
        std::vector<Oscillator> osc(std::size_t(voices) + 1);
        for (std::size_t k = 0; k < osc.size(); k++) osc[k].phase = 0.5 * (noise.next() + 1);
        Filter fl, fr;
        const double track = std::pow(hz / 261.63, keytrack);
        std::vector<double> tuning(std::size_t(voices), 1.0);
        for (int k = 0; k < voices && voices > 1; k++) tuning[k] = std::pow(2.0, detune * (2.0 * k / (voices - 1) - 1) / 12);
        for (std::size_t i = 0; i < count; i++) {
            double t = double(i) / rate;
            double bend = vibrato == 0 ? 1 : std::pow(2.0, vibrato * std::sin(2 * kPi * vibrate * t) * std::min(1.0, t / 0.4) / 12);
            double left = 0, right = 0;
            for (int k = 0; k < voices; k++) {
                double v = osc[k].next(wave, hz * tuning[k] * bend, width, rate);
                double pan = voices == 1 ? 0 : spread * (2.0 * k / (voices - 1) - 1);
                left += v * (1 - pan);
                right += v * (1 + pan);
            }
            if (sub > 0) {
                double v = sub * osc[voices].next(Wave::pulse, hz / 2, 0.5, rate);
                left += v;
                right += v;
            }
            double c = (cutoff + envmod * std::exp(-t / fdecay)) * track;
            fl.run(left / voices, c, reso, rate);
            fr.run(right / voices, c, reso, rate);
            double env = adsr(t, gate, a, d, s, r);
            out.left[i] = float(fl.low * env);
            out.right[i] = float(fr.low * env);
        }
    } else if (ins.type == "fm") {
        const double ratio = ins.number("ratio", 1), index = ins.number("index", 2),
                     idecay = std::max(ins.number("idecay", 0.5), 1e-3);
        double pc = 0, pm = 0;
        for (std::size_t i = 0; i < count; i++) {
            double t = double(i) / rate;
            pm += hz * ratio / rate;
            pc += hz / rate;
            double mod = index * std::exp(-t / idecay) * std::sin(2 * kPi * pm);
            double v = std::sin(2 * kPi * pc + mod) * adsr(t, gate, a, d, s, r);
            out.left[i] = out.right[i] = float(v);
        }
    } else {  // noise: a filtered sweep from `from` to `to` Hz over the note
        const double from = std::max(ins.number("from", 300), 20.0), to = std::max(ins.number("to", 8000), 20.0),
                     reso = ins.number("reso", 0.5);
        const bool rise = ins.number("rise", 1) != 0;
        Filter fl, fr;
        for (std::size_t i = 0; i < count; i++) {
            double t = double(i) / rate, u = std::min(1.0, t / std::max(gate, 1e-3));
            double c = from * std::pow(to / from, u);
            fl.run(noise.next(), c, reso, rate);
            fr.run(noise.next(), c, reso, rate);
            double env = (rise ? u * u : 1 - u) * (t < gate ? 1 : std::exp(-(t - gate) / std::max(r, 1e-3) * 4.6));
            out.left[i] = float(fl.band * env);
            out.right[i] = float(fr.band * env);
        }
    }
    return out;
}

// The room: eight damped combs and four all-passes per side, tuned for 48 kHz.
void room(const std::vector<float>& in, std::vector<float>& left, std::vector<float>& right, double size, double damp) {
    const int combs[8] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
    const int passes[4] = {556, 441, 341, 225};
    const double scale = 48000.0 / 44100.0;
    for (int side = 0; side < 2; side++) {
        std::vector<float>& out = side == 0 ? left : right;
        std::vector<double> acc(in.size(), 0.0);
        for (int c : combs) {
            std::vector<double> line(std::size_t((c + 23 * side) * scale), 0.0);
            double store = 0;
            std::size_t at = 0;
            for (std::size_t i = 0; i < in.size(); i++) {
                double y = line[at];
                store = y * (1 - damp) + store * damp;
                line[at] = in[i] * 0.015 + store * size;
                if (++at == line.size()) at = 0;
                acc[i] += y;
            }
        }
        for (int p : passes) {
            std::vector<double> line(std::size_t((p + 23 * side) * scale), 0.0);
            std::size_t at = 0;
            for (double& x : acc) {
                double b = line[at];
                line[at] = x + b * 0.5;
                x = b - x;
                if (++at == line.size()) at = 0;
            }
        }
        for (std::size_t i = 0; i < in.size(); i++) out[i] += float(acc[i]);
    }
}

// The echo: each repeat crosses to the other side.
void echo(const std::vector<float>& in, std::vector<float>& left, std::vector<float>& right, double seconds,
          double feedback, int rate) {
    std::size_t delay = std::max<std::size_t>(1, std::size_t(seconds * rate));
    std::vector<double> l(in.size(), 0.0), r(in.size(), 0.0);
    for (std::size_t i = delay; i < in.size(); i++) {
        l[i] = in[i - delay] + feedback * r[i - delay];
        r[i] = feedback * l[i - delay];
    }
    for (std::size_t i = 0; i < in.size(); i++) {
        left[i] += float(l[i]);
        right[i] += float(r[i]);
    }
}

double master(const Song& s, const char* key, double fallback) {
    auto it = s.master.find(key);
    return it == s.master.end() ? fallback : it->second;
}

}  // namespace

std::vector<float> render(const Song& song) {
    const std::size_t total = std::size_t(song.frames) * std::size_t(song.frame);
    std::vector<float> left(total, 0.f), right(total, 0.f), room_send(total, 0.f), echo_send(total, 0.f);
    for (std::size_t k = 0; k < song.notes.size(); k++) {
        const Note& n = song.notes[k];
        const Instrument& ins = song.instruments[n.instrument];
        const double gain = ins.number("gain", 0.5) * n.velocity, pan = ins.number("pan", 0);
        const double to_room = ins.number("room", 0), to_echo = ins.number("echo", 0);
        const double gl = gain * std::sqrt((1 - pan) / 2) * std::sqrt(2.0), gr = gain * std::sqrt((1 + pan) / 2) * std::sqrt(2.0);
        std::size_t start = std::size_t(std::llround(n.start));
        // Each note is made only up to the end of the piece.
        const std::size_t rest = start < total ? total - start : 0;
        auto add = [&](std::size_t i, double l, double r) {
            std::size_t at = start + i;
            if (at >= total) return false;
            left[at] += float(l * gl);
            right[at] += float(r * gr);
            room_send[at] += float((l + r) * 0.5 * gain * to_room);
            echo_send[at] += float((l + r) * 0.5 * gain * to_echo);
            return true;
        };
        if (ins.type == "drum") {
            std::vector<float> v = drum(ins, n, song.rate, std::uint32_t(k), rest);
            for (std::size_t i = 0; i < v.size() && add(i, v[i], v[i]); i++) {}
        } else {
            Stereo v = tonal(ins, n, song.rate, std::uint32_t(k), rest);
            for (std::size_t i = 0; i < v.left.size() && add(i, v.left[i], v.right[i]); i++) {}
        }
    }
    echo(echo_send, left, right, master(song, "echo_time", 0.36), master(song, "echo_feedback", 0.35), song.rate);
    room(room_send, left, right, master(song, "room", 0.84), master(song, "damp", 0.3));

    const double gain = master(song, "gain", 1.0);
    std::vector<float> out(total * 2);
    for (std::size_t i = 0; i < total; i++) {
        out[2 * i] = float(std::tanh(left[i] * gain));
        out[2 * i + 1] = float(std::tanh(right[i] * gain));
    }
    // A gentle fade over the last frame so the piece ends on silence, not a click.
    const std::size_t tail = std::min<std::size_t>(total, std::size_t(song.frame));
    for (std::size_t i = 0; i < tail; i++) {
        float f = float(i) / float(tail);
        out[2 * (total - 1 - i)] *= f;
        out[2 * (total - 1 - i) + 1] *= f;
    }
    // One gain for the whole piece, so every accent keeps its weight against the rest:
    // the level a listener hears, unless the peaks between samples would then come too
    // close to full scale for a decoder.
    double level = loudness(out, song.rate);
    if (!std::isfinite(level)) return out;
    double scale = std::pow(10.0, (kLoudness - level) / 20);
    double peak = true_peak(out) * scale, ceiling = std::pow(10.0, kTruePeakCeiling / 20);
    if (peak > ceiling) scale *= ceiling / peak;
    for (float& v : out) v = float(v * scale);
    return out;
}

namespace {

// A biquad in direct form I.
struct Biquad {
    double b0, b1, b2, a1, a2;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double run(double x) {
        double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// The K-weighting of loudness meters: a high shelf (+4 dB above about 1.7 kHz, for
// the head) and a high-pass at about 38 Hz.
std::array<Biquad, 2> k_weighting(int rate) {
    double k = std::tan(kPi * 1681.974450955533 / rate), q = 0.7071752369554196;
    double vh = std::pow(10.0, 3.999843853973347 / 20), vb = std::pow(vh, 0.4996667741545416);
    double a0 = 1 + k / q + k * k;
    Biquad shelf{(vh + vb * k / q + k * k) / a0, 2 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
                 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0};
    k = std::tan(kPi * 38.13547087602444 / rate);
    q = 0.5003270373238773;
    a0 = 1 + k / q + k * k;
    Biquad high_pass{1, -2, 1, 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0};
    return {shelf, high_pass};
}

}  // namespace

double loudness(const std::vector<float>& samples, int rate) {
    const std::size_t frames = samples.size() / 2, step = std::size_t(rate) / 10;
    // Mean square of the K-weighted signal, both channels summed, per 100 ms.
    std::vector<double> power(frames / step, 0.0);
    for (int side = 0; side < 2; side++) {
        std::array<Biquad, 2> filter = k_weighting(rate);
        for (std::size_t i = 0; i < power.size() * step; i++) {
            double v = filter[1].run(filter[0].run(samples[2 * i + std::size_t(side)]));
            power[i / step] += v * v / double(step);
        }
    }
    // Blocks of 400 ms overlapping by three quarters, gated: first at -70 LUFS, then
    // at 10 LU below the level of the blocks that passed.
    std::vector<double> blocks;
    for (std::size_t b = 0; b + 4 <= power.size(); b++) blocks.push_back((power[b] + power[b + 1] + power[b + 2] + power[b + 3]) / 4);
    auto lufs = [](double p) { return -0.691 + 10 * std::log10(p); };
    auto gated_mean = [&](double gate) {
        double sum = 0;
        std::size_t n = 0;
        for (double p : blocks)
            if (p > 0 && lufs(p) > gate) {
                sum += p;
                n++;
            }
        return n == 0 ? 0.0 : sum / double(n);
    };
    double first = gated_mean(-70);
    if (first <= 0) return -std::numeric_limits<double>::infinity();
    double second = gated_mean(lufs(first) - 10);
    return lufs(second);
}

double true_peak(const std::vector<float>& samples) {
    // Four times the rate by a windowed sinc, 16 taps a phase: the peaks a decoder's
    // reconstruction reaches between the samples.
    constexpr int kTaps = 8, kPhases = 4;
    double taps[kPhases][2 * kTaps];
    for (int p = 0; p < kPhases; p++)
        for (int j = 0; j < 2 * kTaps; j++) {
            double x = double(j - kTaps + 1) - double(p) / kPhases;
            double window = 0.5 + 0.5 * std::cos(kPi * x / kTaps);
            taps[p][j] = x == 0 ? 1 : std::sin(kPi * x) / (kPi * x) * window;
        }
    const std::size_t frames = samples.size() / 2;
    double peak = 0;
    for (std::size_t side = 0; side < 2; side++)
        for (std::size_t i = 0; i < frames; i++) {
            peak = std::max(peak, double(std::abs(samples[2 * i + side])));
            for (int p = 1; p < kPhases; p++) {
                double v = 0;
                for (int j = 0; j < 2 * kTaps; j++) {
                    std::ptrdiff_t at = std::ptrdiff_t(i) + j - kTaps + 1;
                    if (at >= 0 && std::size_t(at) < frames) v += taps[p][j] * samples[2 * std::size_t(at) + side];
                }
                peak = std::max(peak, std::abs(v));
            }
        }
    return peak;
}

std::vector<std::uint8_t> pcm16(const std::vector<float>& samples) {
    std::vector<std::uint8_t> out;
    out.reserve(samples.size() * 2);
    for (float v : samples) {
        long s = std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
        out.push_back(std::uint8_t(s & 0xff));
        out.push_back(std::uint8_t((s >> 8) & 0xff));
    }
    return out;
}

}  // namespace music
