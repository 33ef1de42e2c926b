// Three names that the controller's vendor libraries, linked into the
// tools, expect from their host runtime. Nothing calls them; they exist so
// that the programs link and load. Exported unmangled from each program:
//   nm -D kelto_lumabar | grep NumericArrayResize  -> T NumericArrayResize

#define KELTO_EXPORT extern "C" __attribute__((visibility("default"), used))

KELTO_EXPORT void NumericArrayResize() {}
KELTO_EXPORT void RTSetCleanupProc() {}
KELTO_EXPORT void EDVR_CreateReference() {}
