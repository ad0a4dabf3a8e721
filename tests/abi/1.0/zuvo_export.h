/*
 * zuvo_export.h — the one export macro of ZuvoMPAEncoder, shared by its
 * public headers. Hosts do not include it themselves.
 *
 * ZUVO_API marks a function the library exports. When building the library
 * ZUVO_BUILDING_LIBRARY is defined; a host that links the static library
 * defines ZUVO_STATIC (the CMake target and the pkg-config file do that).
 */
#ifndef ZUVO_EXPORT_H
#define ZUVO_EXPORT_H

#if defined(_WIN32)
#  if defined(ZUVO_BUILDING_LIBRARY)
#    define ZUVO_API __declspec(dllexport)
#  elif defined(ZUVO_STATIC)
#    define ZUVO_API
#  else
#    define ZUVO_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define ZUVO_API __attribute__((visibility("default")))
#else
#  define ZUVO_API
#endif

#endif /* ZUVO_EXPORT_H */
