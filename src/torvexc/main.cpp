// kelto_torvexc: configure and query TorvexC motor controllers on the CAN
// bus. One command per run; one JSON line on standard output (progress
// text for firmware); the status is the exit status.
//   kelto_torvexc SCAN                  -> {"scan":[5]}                  0
//   kelto_torvexc 5 brake 1             -> (frame 02071CC5#01) {"brake":1} 0
//   kelto_torvexc 5 brake 1 2           -> {"error":"Too many arguments"} 24
//   kelto_torvexc FIRMWARE image.hex    -> recovery update of a device in its bootloader
#include "torvexc_tables.h"

int main(int argc, char** argv) {
    kelto::setTool(torvexc::PROFILE);
    return torvexc::torvexcMain(argc, argv);
}
