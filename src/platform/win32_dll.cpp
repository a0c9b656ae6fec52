// The entry point of Vexan.dll. The library state itself is built by the
// library's static initialisation when the DLL loads and torn down by its
// static destructors when it unloads; this tells the teardown which unload it
// is, so that it neither joins threads under the loader lock (FreeLibrary) nor
// waits for threads the system has already ended (process exit).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/platform.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
    } else if (reason == DLL_PROCESS_DETACH) {
        vexan::platform::SetUnload(reserved != nullptr ? vexan::platform::Unload::Process
                                                       : vexan::platform::Unload::Library);
    }
    return TRUE;
}
