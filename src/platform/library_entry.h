// Internal header: included only by the boundary's export file.
//
// ZUVO_LIBRARY_ENTRY(attach, detach) makes the platform call `attach` when the
// library is loaded into a process and `detach` when it is unloaded: DllMain's
// process notifications on Windows (thread notifications do nothing), a shared
// object's constructor and destructor elsewhere. Both are plain `void ()`
// functions.
#pragma once

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  define ZUVO_LIBRARY_ENTRY(attach, detach)                                      \
      extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {           \
          if (reason == DLL_PROCESS_ATTACH) attach();                             \
          else if (reason == DLL_PROCESS_DETACH) detach();                        \
          return TRUE;                                                            \
      }
#else
#  define ZUVO_LIBRARY_ENTRY(attach, detach)                                      \
      __attribute__((constructor)) static void zuvo_library_load() { attach(); }  \
      __attribute__((destructor)) static void zuvo_library_unload() { detach(); }
#endif
