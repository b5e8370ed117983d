// The statuses the show ends with. It ends at once with exit and writes no message.
#pragma once

constexpr int kExitNoFile = 2;        // the data file or the logo picture cannot be opened
constexpr int kExitSetUpFailed = 5;   // the framebuffer, a soundtrack or the fire palette
constexpr int kExitNoMemory = 12;     // an effect's set-up runs out of memory

// Stopped by a signal (on the emulated box: the viewer closing the window).
constexpr int exit_status_of_signal(int signal) { return 128 + signal; }
