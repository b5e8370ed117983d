// The synthesizer that plays a parsed score: drum voices, subtractive and FM voices,
// noise sweeps, a stereo echo and a room on send buses, and a master stage. Every
// note is rendered on its own from a fixed seed, so the same score gives the same
// samples on every run.
#pragma once

#include <cstdint>
#include <vector>

#include "score.h"

namespace music {

// The whole piece as interleaved stereo samples (left, right), song.frames *
// song.frame sample frames, peaks brought to just under full scale.
std::vector<float> render(const Song& song);

// Interleaved samples as 16-bit little-endian PCM.
std::vector<std::uint8_t> pcm16(const std::vector<float>& samples);

}  // namespace music
