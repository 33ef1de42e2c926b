#include "cli.h"

#include <dlfcn.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "report.h"
#include "tool.h"

namespace kelto {

namespace {
constexpr int MIN_DEVICE_ID = 1;
constexpr int MAX_DEVICE_ID = 59;
using getLibFunc_t = const char* (*)();

// atoi with the overflow behaviour pinned down: digits beyond the int range
// saturate at INT_MAX (INT_MIN for a negative numeral); no digit gives 0.
int atoiSaturating(const char* text) {
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}
}  // namespace

bool strEq(const std::string& str1, const std::string& str2) {
    if (str1.size() != str2.size()) return false;
    for (size_t i = 0; i < str1.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(str1[i])) !=
            std::tolower(static_cast<unsigned char>(str2[i])))
            return false;
    return true;
}

bool isInt(const char* in) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p != 0; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

uint8_t lowByte(const char* text) {
    return static_cast<uint8_t>(atoiSaturating(text));
}

bool validDeviceId(const char* digits) {
    const int value = atoiSaturating(digits);
    return value >= MIN_DEVICE_ID && value <= MAX_DEVICE_ID;
}

int versionQuery() {
    jsonLib json = jsonLib::object();
    void* handle = dlopen("libcorvaneDriver.so", RTLD_LAZY);
    if (handle != nullptr) {
        dlerror();
        auto entry = reinterpret_cast<getLibFunc_t>(dlsym(handle, tool().versionSymbol));
        const char* dlsym_error = dlerror();
        if (dlsym_error == nullptr && entry != nullptr) {
            const char* text = entry();
            json["version"] = text != nullptr ? text : "";
            printDocument(json);
            return 0;
        }
    }
    json["version"] = "-1";
    printDocument(json);
    return 0;
}

}  // namespace kelto
