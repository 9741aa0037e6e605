#include "base/options.h"

static_assert(sizeof(Options::WinPos) == 44, "window placement record is 44 bytes");
