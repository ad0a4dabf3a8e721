// Windows implementation of the platform layer: process-heap memory, a
// critical section as the library lock, and the overflow store's spill files,
// named by the runtime's _tempnam in c:\tmp and written with the Win32 file
// functions.
#if defined(_WIN32)

#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zuvo {

// ---------------------------------------------------------------- memory

void* allocate(std::size_t size, const char* /*name*/) {
    // A request for nothing still yields a distinct block, so that a non-null
    // result always means success.
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size);
}

void release(void* pointer) {
    if (pointer != nullptr) HeapFree(GetProcessHeap(), 0, pointer);
}

// ---------------------------------------------------------------- lock

namespace {

// The critical section lives inside the lock's opaque storage so that
// platform.h needs no system header.
static_assert(sizeof(CRITICAL_SECTION) <= 64, "CRITICAL_SECTION does not fit PlatformLock storage");
static_assert(alignof(CRITICAL_SECTION) <= 16, "CRITICAL_SECTION needs more alignment than PlatformLock storage");

CRITICAL_SECTION* section_in(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

PlatformLock::PlatformLock() {
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

PlatformLock::~PlatformLock() {
    DeleteCriticalSection(section_in(storage_));
}

void PlatformLock::enter() {
    EnterCriticalSection(section_in(storage_));
}

void PlatformLock::leave() {
    LeaveCriticalSection(section_in(storage_));
}

// ---------------------------------------------------------------- temporary files

namespace {

// Spill files go to c:\tmp. The runtime's _tempnam prefers the directory in
// the TMP environment variable when that names a usable directory, so on most
// systems they actually land in the user's temporary directory.
constexpr char kSpillDirectory[] = "c:\\tmp";
// Identifies our files among others; some runtimes keep only its first three
// characters.
constexpr char kSpillPrefix[] = "zuvo";

HANDLE handle_of(TempFileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

bool is_directory(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The system's temporary directory, without its trailing separator (unless it
// is a drive's root), read once.
const char* system_temp_directory() {
    static const struct SystemTemp {
        char path[MAX_PATH + 1];
        SystemTemp() : path() {
            DWORD length = GetTempPathA(sizeof path, path);
            if (length == 0 || length >= sizeof path) {
                std::strcpy(path, ".");
                return;
            }
            if (length > 3 && path[length - 1] == '\\') path[length - 1] = '\0';
        }
    } temp;
    return temp.path;
}

// The directory handed to _tempnam: c:\tmp, created when it is missing, or
// the system's temporary directory when c:\tmp cannot be made.
const char* spill_directory() {
    if (is_directory(kSpillDirectory)) return kSpillDirectory;
    if (CreateDirectoryA(kSpillDirectory, nullptr) || is_directory(kSpillDirectory)) return kSpillDirectory;
    return system_temp_directory();
}

}  // namespace

const char* temp_directory() {
    // Where the next spill file goes: the directory part of a name the
    // runtime picks, as the runtime may not take the directory it is given.
    // Like getenv's result, the text stays valid until the next call.
    static SRWLOCK guard = SRWLOCK_INIT;
    static char directory[kTempNameCapacity];
    char* name = _tempnam(spill_directory(), kSpillPrefix);
    if (name == nullptr) return spill_directory();
    const char* separator = std::strrchr(name, '\\');
    std::size_t length = separator == nullptr ? 0 : static_cast<std::size_t>(separator - name);
    if (length == 2 && name[1] == ':') ++length;  // a drive's root keeps its separator
    if (length == 0 || length >= sizeof directory) {
        std::free(name);
        return spill_directory();
    }
    AcquireSRWLockExclusive(&guard);
    std::memcpy(directory, name, length);
    directory[length] = '\0';
    ReleaseSRWLockExclusive(&guard);
    std::free(name);
    return directory;
}

TempFileHandle temp_file_create(char (&name)[kTempNameCapacity]) {
    name[0] = '\0';
    char* picked = _tempnam(spill_directory(), kSpillPrefix);
    if (picked == nullptr) return kNoTempFile;
    const std::size_t length = std::strlen(picked);
    if (length >= kTempNameCapacity) {
        std::free(picked);
        return kNoTempFile;
    }

    // Written by us, readable by others while open; a file of the same name
    // is replaced.
    const HANDLE file = CreateFileA(picked, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::free(picked);
        return kNoTempFile;
    }
    std::memcpy(name, picked, length + 1);
    std::free(picked);
    return reinterpret_cast<TempFileHandle>(file);
}

bool temp_file_write(TempFileHandle file, const void* data, std::size_t length) {
    if (file == kNoTempFile) return false;
    if (length == 0) return true;
    if (data == nullptr) return false;

    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD done = 0;
        if (!WriteFile(handle_of(file), bytes, chunk, &done, nullptr) || done == 0) return false;
        bytes += done;
        length -= done;
    }
    return true;
}

// Spill files stay far below 4 GiB, so the low 32 bits of the position are
// the whole position and INVALID_SET_FILE_POINTER means failure.
bool temp_file_seek_start(TempFileHandle file) {
    return file != kNoTempFile && SetFilePointer(handle_of(file), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

bool temp_file_seek_end(TempFileHandle file) {
    return file != kNoTempFile && SetFilePointer(handle_of(file), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER;
}

void temp_file_close(TempFileHandle file) {
    if (file != kNoTempFile) CloseHandle(handle_of(file));
}

void temp_file_delete(const char* name) {
    if (name != nullptr && name[0] != '\0') DeleteFileA(name);
}

}  // namespace zuvo

#endif  // defined(_WIN32)
