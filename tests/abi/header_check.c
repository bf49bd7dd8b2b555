/* Compiled on its own by the test suite: the public header must stand alone
   in C and in C++, and its layout checks must hold for both the 32-bit
   reference layout and the 64-bit one. */
#include "ostrel/ostrel.h"

int ostrel_header_check(void) { return OSTREL_FS_RAW + (int)sizeof(tagItemRecord); }
