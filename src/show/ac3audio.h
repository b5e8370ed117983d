// The AC-3 pass-through player; its frame counter is the show's clock.
//
// A whole AC-3 stream is loaded into memory, byte-swapped once, and fed to the sound
// device as IEC 61937 bursts (6144 bytes, one AC-3 frame's duration each) whenever the
// device holds 12288 bytes or less. Every loop of the program calls ac3_process.
// Results are 0 or a negative errno value.
#pragma once

#include <cstdint>
#include <cstdio>

extern std::uint32_t fcount;  // frames sent since the stream was loaded or positioned
extern int repeat;            // loop the stream at its end (never set by the show)
extern const std::int32_t framesizes[38 * 4];

int crypted_ac3_init(std::FILE* fp);
int ac3_init(std::FILE* file);
int ac3_process();
bool ac3_playing();  // a stream is loaded and the sound device open
int ac3_skip(std::uint32_t n);
void ac3_stop(int flag);
