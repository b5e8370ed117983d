// The ways the frame code can go through pixels on this CPU. Every CPU has the
// portable one, a 32-bit word at a time; a vector unit adds its own: SSE2 on x86-64
// (there whenever the build targets it), NEON on ARM, AltiVec on PowerPC and the DSP
// extension on MIPS (found at run time, since boxes of one instruction set differ). The show takes the widest the CPU has; every way gives the same bytes, and
// tests and instruction counts choose each in turn.
#pragma once

namespace frame_paths {

enum class Path { words, sse2, neon, altivec, dsp };

// The way the frame code goes now.
Path current();
// Whether this CPU, and this build, have the way.
bool available(Path path);
// Makes the frame code go this way; false (and no change) when it is not available.
bool use(Path path);
// The same by name ("words", "sse2", "neon", "altivec", "dsp").
bool use(const char* name);
const char* name(Path path = current());

}  // namespace frame_paths
