#include "core/decimal.h"

#include <cstdlib>
#include <cstring>

long ParseDecimal(const char* sz)
{
    const size_t n = strlen(sz);
    if (n == 0 || n > 9 || strspn(sz, "0123456789") != n)
        return -1;
    return strtol(sz, nullptr, 10);
}
