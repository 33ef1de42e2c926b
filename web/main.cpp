// kelto_web [--listen ADDR:PORT] [--tools DIR] [--margin-ms N] [--recovery-search-s N]
//
// Serves the configuration page and its JSON API; every device operation is
// a run of kelto_lumabar or kelto_torvexc (found next to this program unless
// --tools says otherwise) on the bus KELTO_CAN_BUS names.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server.h"

namespace {

const char USAGE[] =
    "usage: kelto_web [--listen ADDR:PORT] [--tools DIR] [--margin-ms N] [--recovery-search-s N]\n"
    "  --listen ADDR:PORT     where to listen (default 127.0.0.1:5809; port 0: any free port)\n"
    "  --tools DIR            directory of kelto_lumabar, kelto_torvexc and kelto_hexcheck\n"
    "                         (default: the directory of this program)\n"
    "  --margin-ms N          time a tool run may take beyond its own waits before it is\n"
    "                         stopped (default 5000)\n"
    "  --recovery-search-s N  how long a recovery update searches for a device in its\n"
    "                         bootloader (default 60)\n";

// The directory this program was started from.
std::string ownDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.find_last_of('/'));
}

// A whole decimal number from 0 to max.
bool number(const char* text, long max, int& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || errno || v < 0 || v > max) return false;
    out = static_cast<int>(v);
    return true;
}

// "127.0.0.1:5809", "[::1]:8080" -> host and port.
bool parseListen(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return number(text.c_str() + colon + 1, 65535, port);
}

}  // namespace

int main(int argc, char** argv) {
    kelto::web::ServerConfig config;
    config.toolsDir = ownDirectory();
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        int seconds = 0;
        bool ok = value != nullptr;
        if (opt == "--help" || opt == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (ok && opt == "--listen") {
            ok = parseListen(value, config.host, config.port);
        } else if (ok && opt == "--tools") {
            config.toolsDir = value;
        } else if (ok && opt == "--margin-ms") {
            ok = number(value, 600000, config.marginMs);
        } else if (ok && opt == "--recovery-search-s") {
            ok = number(value, 86400, seconds);
            config.recoverySearchMs = seconds * 1000;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "kelto_web: bad option %s\n%s", argv[i], USAGE);
            return 2;
        }
        ++i;
    }
    return kelto::web::runServer(config);
}
