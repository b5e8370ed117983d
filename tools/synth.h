// The synthesizer that plays a parsed score: drum voices, subtractive and FM voices,
// noise sweeps, a stereo echo and a room on send buses, and a master stage. Every
// note is rendered on its own from a fixed seed, so the same score gives the same
// samples on every run.
#pragma once

#include <cstdint>
#include <vector>

#include "score.h"

namespace music {

// What a piece is mastered to: its integrated loudness in LUFS, and the highest true
// peak in dBTP it may reach before the AC-3 encoder (which adds a little of its own).
constexpr double kLoudness = -14.0;
constexpr double kTruePeakCeiling = -2.0;

// The whole piece as interleaved stereo samples (left, right), song.frames *
// song.frame sample frames, mastered to kLoudness within kTruePeakCeiling.
std::vector<float> render(const Song& song);

// Integrated loudness of interleaved stereo samples in LUFS (ITU-R BS.1770: K-weighted,
// gated 400 ms blocks); minus infinity for silence.
double loudness(const std::vector<float>& samples, int rate);
// The largest magnitude of interleaved samples and of the signal between them, found
// at four times the rate.
double true_peak(const std::vector<float>& samples);

// Interleaved samples as 16-bit little-endian PCM.
std::vector<std::uint8_t> pcm16(const std::vector<float>& samples);

}  // namespace music
