// System calls under newlib: every descriptor is the serial console, and the
// heap is a fixed window of DRAM given by the board.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "board.hpp"
#include "s3c_uart.hpp"

extern "C" {

void *_sbrk(ptrdiff_t incr);
int _write(int fd, const void *buf, size_t nbyte);
int _read(int fd, void *buf, size_t nbyte);
int _close(int fildes);
int _isatty(int fildes);
_off_t _lseek(int fildes, _off_t offset, int whence);
int _fstat(int fd, struct stat *sbuf);
int __srget_r(struct _reent *rnt, FILE *stream);

// Grows or shrinks the heap in whole words. A request that would take the
// break above the board's heap limit or below its start is refused, as
// malloc expects, rather than handing out memory that belongs to the stack.
void *_sbrk(ptrdiff_t incr)
{
    static unsigned long alloc_base = board::heap_start;

    if (incr >= 0) {
        const unsigned long step = (static_cast<unsigned long>(incr) + 3) & ~3ul;
        if (step > board::heap_limit - alloc_base) {
            errno = ENOMEM;
            return reinterpret_cast<void *>(-1);
        }
        const unsigned long ret = alloc_base;
        alloc_base += step;
        return reinterpret_cast<void *>(ret);
    }

    const unsigned long step = (0ul - static_cast<unsigned long>(incr) + 3) & ~3ul;
    if (step > alloc_base - board::heap_start) {
        errno = ENOMEM;
        return reinterpret_cast<void *>(-1);
    }
    alloc_base -= step;
    return reinterpret_cast<void *>(alloc_base);
}

int _write(int, const void *buf, size_t nbyte)
{
    return kelto_uart_write(static_cast<const char *>(buf), static_cast<int>(nbyte));
}

int _read(int, void *buf, size_t nbyte)
{
    return kelto_uart_read(static_cast<char *>(buf), static_cast<int>(nbyte), 0);
}

int _close(int)
{
    return 0;
}

int _isatty(int)
{
    return 1;
}

_off_t _lseek(int, _off_t, int)
{
    return 0;
}

int _fstat(int fd, struct stat *sbuf)
{
    memset(sbuf, 0, sizeof *sbuf);
    sbuf->st_dev = static_cast<dev_t>(fd);
    sbuf->st_ino = static_cast<ino_t>(fd);
    if (fd == 0)
        sbuf->st_mode = S_IFCHR | S_IRUSR;
    else if (fd == 1)
        sbuf->st_mode = S_IFCHR | S_IWUSR;
    return 0;
}

// Every read of standard input ends here and takes one byte from the UART;
// nothing is buffered in software. The inline read decrements the stream's
// count before it calls us; putting it back to 0 keeps the count from
// wrapping to a positive value after 2^31 keys, which would send the inline
// read into the stream's empty buffer.
int __srget_r(struct _reent *, FILE *stream)
{
    char buf;
    kelto_uart_read(&buf, 1, 0);
    stream->_r = 0;
    return static_cast<unsigned char>(buf);
}

}  // extern "C"
