/* A throw-away libcorvaneDriver.so for the controller-build test: the two
 * version entry points, with a version no build of ours reports. */
#define EXPORT __attribute__((visibility("default")))

EXPORT const char* Lumabar_GetLibraryVersion(void) {
    return "7.7.7-throwaway";
}

EXPORT const char* CANTorvex_GetLibraryVersion(void) {
    return "7.7.7-throwaway";
}
