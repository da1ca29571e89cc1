// Windows load hook: on process attach the library only asks to skip thread attach and detach
// notifications; nothing else runs at load or unload. Windows refuses the request while the DLL has
// thread-local storage (the runtimes' thread_local support, whose per-thread cleanup needs them).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
