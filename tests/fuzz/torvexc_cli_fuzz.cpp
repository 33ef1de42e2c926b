// libFuzzer target: kelto_torvexc's command line on arbitrary arguments.
#include "cli_fuzz.h"
#include "torvexc_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return runCliFuzz(torvexc::PROFILE, torvexc::torvexcMain, data, size);
}
