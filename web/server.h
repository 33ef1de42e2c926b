// The HTTP side of kelto_web: the page, the JSON API and the rules on
// concurrent runs (one run per device, one firmware update on the bus).
#ifndef KELTO_WEB_SERVER_H
#define KELTO_WEB_SERVER_H

#include <cstddef>
#include <string>

namespace kelto::web {

// Largest image accepted for upload: the loader places 16-byte records at
// 16-bit addresses, so a full 64 KiB image is 4096 records of at most 45
// bytes (with CR LF), 180 KiB; the rest is room for other record types.
constexpr size_t MAX_IMAGE_BYTES = 256 * 1024;

struct ServerConfig {
    std::string host = "127.0.0.1";
    int port = 5809;               // 0: any free port
    std::string toolsDir;          // where kelto_lumabar, kelto_torvexc, kelto_hexcheck are
    int marginMs = 5000;           // added to a run's mandated time before it is stopped
    int recoverySearchMs = 60000;  // how long a recovery update may search for its device
};

// Serves until SIGINT or SIGTERM; prints "kelto_web: serving http://HOST:PORT/"
// on standard output once listening. Returns the exit status.
int runServer(const ServerConfig& config);

}  // namespace kelto::web

#endif
