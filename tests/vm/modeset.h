// What a mode set does to the display while the console shows text, step by step: the
// same steps run on the kernel (vmtool modeset) and on the emulated box (vm_check), and
// must leave the same lines.
#pragma once

#include <string>

namespace vmprobe {

// On the box's /dev/fb0 and /dev/tty0 (the console cleared first): pictures in the
// first two pages, a mode set asking for a 640 x 960 virtual screen with its second
// page shown, a pan to that page, console text, the same mode set again; after each,
// the pan and the virtual height the device reports, and after the first how much of
// each page's picture is left. The mode found is put back at the end. One line a step.
std::string mode_set_steps();

}  // namespace vmprobe
