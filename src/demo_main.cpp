// The box program: the show on the box's own devices.
#include "show/vidparm.h"

int main(int argc, char** argv) { return show_main(argc, argv); }
