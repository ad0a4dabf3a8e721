// Forced into tools/zuvo_mpa_encode.cpp for the Windows build (see
// windows/CMakeLists.txt): the few POSIX services the tool uses that the
// Windows C runtime lacks or does differently.
#pragma once
#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Windows has no SIGPIPE (a closed pipe is a write error anyway) and no
// SIGHUP. The tool ignores SIGPIPE and then handles SIGINT, and handles SIGHUP
// like SIGTERM, so the stand-ins make both registrations harmless repeats.
#ifndef SIGPIPE
#  define SIGPIPE SIGINT
#endif
#ifndef SIGHUP
#  define SIGHUP SIGTERM
#endif

// Creates a file from `pattern`, whose six characters before the last
// `suffix_length` are "XXXXXX", exclusively and in binary mode.
inline int mkstemps(char* pattern, int suffix_length) {
    const std::size_t length = std::strlen(pattern);
    if (suffix_length < 0 || length < static_cast<std::size_t>(suffix_length) + 6) {
        errno = EINVAL;
        return -1;
    }
    char* x = pattern + length - static_cast<std::size_t>(suffix_length) - 6;
    if (std::strncmp(x, "XXXXXX", 6) != 0) {
        errno = EINVAL;
        return -1;
    }
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned seed = static_cast<unsigned>(GetTickCount()) ^ (static_cast<unsigned>(GetCurrentProcessId()) << 16);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (int i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u;
            x[i] = digits[(seed >> 16) % 36];
        }
        const int fd = _open(pattern, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Files have no permission bits to set beyond read-only.
inline int fchmod(int, int) { return 0; }

inline char* realpath(const char* path, char* resolved) {
    return _fullpath(resolved, path, _MAX_PATH);
}

// rename() does not replace an existing file here; the tool's final step
// must, as it does on POSIX systems.
inline int zuvo_rename_replacing(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return 0;
    errno = EACCES;
    return -1;
}
#define rename(from, to) zuvo_rename_replacing(from, to)

// Standard output carries the stream when OUTPUT is "-": no newline
// translation.
static const int zuvo_binary_stdout = _setmode(1, _O_BINARY);

#endif  // defined(_WIN32)
