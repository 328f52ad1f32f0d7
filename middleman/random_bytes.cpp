#include "random_bytes.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

int random_bytes(void* out, size_t size)
{
    uint8_t* p = (uint8_t*)out;
    while (size > 0) {
        ssize_t n = getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    return 0;
}
