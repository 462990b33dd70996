// The package builder's slots. The Package tab is removed from the window at
// start-up; the slots stay connected to its buttons.
#include "velmora.h"

void velmora::select_s_path()
{
}

void velmora::select_bin_path()
{
}

void velmora::s2bin()
{
}
