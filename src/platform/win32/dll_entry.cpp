// The library's entry point. The library keeps no per-thread state and has no
// static initialisation of its own, so the only thing to do on load is to
// spare every thread start and end in the host process a call into it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
