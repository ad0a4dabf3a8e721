// The services of compat.h on Windows (MinGW-w64).
#include "compat.h"

#include "common.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zuvo_tool {

namespace {

FileId id_of_handle(HANDLE handle) {
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        id.known = true;
        id.volume = info.dwVolumeSerialNumber;
        id.index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    return id;
}

} // namespace

FileId file_id_of_fd(int fd) { return id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd))); }

FileId file_id_of_path(const std::string& path) {
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileId id = id_of_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
}

const char* path_separators() { return "/\\"; }

int make_temp_file(std::string& pattern, int suffix_length) {
    const std::size_t length = pattern.size();
    if (suffix_length < 0 || length < static_cast<std::size_t>(suffix_length) + 6) {
        errno = EINVAL;
        return -1;
    }
    const std::size_t x = length - static_cast<std::size_t>(suffix_length) - 6;
    if (pattern.compare(x, 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned seed = static_cast<unsigned>(GetTickCount()) ^ (static_cast<unsigned>(GetCurrentProcessId()) << 16);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (std::size_t i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u;
            pattern[x + i] = digits[(seed >> 16) % 36];
        }
        const int fd = _open(pattern.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

unsigned new_file_mode() { return 0666; }

void set_file_mode(int, unsigned) {} // no permission bits beyond read-only

std::string resolve_link(const std::string& path) { return path; }

std::string full_path(const std::string& path) {
    char* full = _fullpath(nullptr, path.c_str(), _MAX_PATH);
    const std::string text = full ? full : "";
    std::free(full);
    return text;
}

// rename() does not replace an existing file here.
bool replace_file(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
    errno = EACCES;
    return false;
}

int open_in_place(const std::string& path, std::string& error) {
    const int fd = _open(path.c_str(), _O_WRONLY | _O_BINARY);
    if (fd < 0) error = describe_errno(errno);
    return fd;
}

bool stdin_is_terminal() { return false; }

void use_binary_stdout() { _setmode(1, _O_BINARY); }

} // namespace zuvo_tool
