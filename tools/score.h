// The show's music in text: instruments, one-bar (or longer) patterns written as step
// grids, an arrangement of patterns over bars, single hits, and the pins that tie bars
// to show frames (one show frame = one AC-3 frame = 1536 samples at 48 kHz).
//
//   length 6200                      how many show frames the piece lasts
//   meter 4 from 1                   beats per bar, from a bar on
//   pin 9 588                        bar 9's downbeat sounds at frame 588; between
//   pin 9:1.5 613                    pins the tempo is constant (bar:beat, beat from 0)
//   master gain=0.8 room=0.7 ...     the mix bus
//   instrument bass synth wave=saw cutoff=400 ...
//   pattern groove 16 [bars=2]       a grid of 16 steps over one bar (or over `bars`)
//   kick  x . . . x . . . 7 . . . x . . .    x = full, 1..9 = softer, . = nothing
//   bass  c2 - . c2 | eb2 - g1 . ...         notes, - holds, chords as c3+eb3+g3, | is
//                                            a bar line for the reader
//   lead*0.7 ...                             a grid line played softer
//   end
//   play 3-8 groove bassline@+5      patterns repeated over bars, @ transposes notes
//   hit 9 crash x                    one event: position, instrument, note or x,
//   hit 9:1.5 brass c4+g4 0.9 2       velocity, length in beats
//
// A word starting with `#` starts a comment. Anything malformed is refused with the line number.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace music {

struct Instrument {
    std::string name;
    std::string type;  // drum, synth, fm, noise
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> words;
    double number(const std::string& key, double fallback) const;
    std::string word(const std::string& key, const std::string& fallback) const;
};

struct Note {
    double start = 0;   // in samples
    double length = 0;  // in samples, until the note is let go
    int instrument = 0;
    double pitch = 60;  // MIDI note number
    double velocity = 1;
};

struct Song {
    int rate = 48000;
    int frame = 1536;  // samples per show frame
    long frames = 0;   // length in show frames
    std::map<std::string, double> master;
    std::vector<Instrument> instruments;
    std::vector<Note> notes;
};

// Parses a score; false with a message naming the line when it is malformed.
bool parse(const std::string& text, Song& song, std::string& error);

}  // namespace music
