// Key read on standard input, as newlib's inline getc does it in C.
#pragma once

#include <stdio.h>

// newlib's stdio.h gives C++ no inline getc. This is the same read, so every
// key goes through __srget_r: the count falls below zero and the system-call
// layer takes the byte straight from the UART.
static inline int console_getchar()
{
    FILE *in = _impure_ptr->_stdin;
    return --in->_r < 0 ? __srget_r(_impure_ptr, _impure_ptr->_stdin) : static_cast<int>(*in->_p++);
}
