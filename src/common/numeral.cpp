#include "numeral.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kelto {

bool toInt32(const char* text, int* value) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace kelto
