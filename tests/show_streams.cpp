// The data file and console streams belong to the driver. Test programs that do not
// link the driver get them here.
#include "show/vidparm.h"

std::FILE* fp;
std::FILE* ftty;
