// kelto_lumabar: configure and query Lumabar lighting controllers on the
// CAN bus. One command per run; one JSON line on standard output (none for
// lighting commands, progress text for firmware); the status is the exit
// status.
//   kelto_lumabar scan                  -> {"scan":[3,12]}               0
//   kelto_lumabar 5 name                -> {"name":"Front"}              0
//   kelto_lumabar 5 showrgb 255 0 0     -> (frame 08070005#00FF0000)     99
//   kelto_lumabar 60 serial             -> {"error":"IDs must be ..."}   23
#include "lumabar_tables.h"

int main(int argc, char** argv) {
    kelto::setTool(lumabar::PROFILE);
    return lumabar::lumabarMain(argc, argv);
}
