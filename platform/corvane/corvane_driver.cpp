// Stand-in of the maker's driver library, libcorvaneDriver.so.
//
// The tools load it by name for their `version` command and call one entry
// point of type `const char* (*)(void)`:
//   Lumabar_GetLibraryVersion()   -> "0.1.0"
//   CANTorvex_GetLibraryVersion() -> "0.1.0"
// The text is owned by the library and lives as long as it is loaded.

#ifndef KELTO_VERSION
#define KELTO_VERSION "0.0.0"
#endif

extern "C" __attribute__((visibility("default"))) const char* Lumabar_GetLibraryVersion(void) {
    return KELTO_VERSION;
}

extern "C" __attribute__((visibility("default"))) const char* CANTorvex_GetLibraryVersion(void) {
    return KELTO_VERSION;
}
