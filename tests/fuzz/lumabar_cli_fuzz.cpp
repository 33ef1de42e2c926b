// libFuzzer target: kelto_lumabar's command line on arbitrary arguments.
#include "cli_fuzz.h"
#include "lumabar_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return runCliFuzz(lumabar::PROFILE, lumabar::lumabarMain, data, size);
}
