// POSIX implementation of the platform layer: memory, the library lock and the
// temporary files of the overflow store's spill chain.
#if !defined(_WIN32)

#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zuvo {

// ---------------------------------------------------------------- memory

void* allocate(std::size_t size, const char* /*name*/) {
    // Zero-filled and aligned to a cache line, so that the stages' vector
    // loads never straddle two lines. calloc zero-fills without touching
    // fresh pages, so a large block that is never written costs no memory;
    // the block starts 1..64 bytes into what calloc returned, and the byte
    // before it says how far. A request for nothing still yields a distinct
    // block, so that a non-null result always means success.
    constexpr std::size_t kLine = 64;
    if (size > static_cast<std::size_t>(-1) - kLine) return nullptr;
    unsigned char* const raw = static_cast<unsigned char*>(std::calloc(1, size + kLine));
    if (raw == nullptr) return nullptr;
    const std::size_t shift = kLine - reinterpret_cast<std::uintptr_t>(raw) % kLine;
    unsigned char* const block = raw + shift;
    block[-1] = static_cast<unsigned char>(shift);
    return block;
}

void release(void* pointer) {
    if (pointer == nullptr) return;
    unsigned char* const block = static_cast<unsigned char*>(pointer);
    std::free(block - block[-1]);
}

// ---------------------------------------------------------------- lock

namespace {

// The mutex lives inside the lock's opaque storage so that platform.h needs no
// system header.
static_assert(sizeof(pthread_mutex_t) <= 64, "pthread_mutex_t does not fit PlatformLock storage");
static_assert(alignof(pthread_mutex_t) <= 16, "pthread_mutex_t needs more alignment than PlatformLock storage");

pthread_mutex_t* mutex_in(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

PlatformLock::PlatformLock() {
    pthread_mutex_t* mutex = new (storage_) pthread_mutex_t;
    pthread_mutex_init(mutex, nullptr);
}

PlatformLock::~PlatformLock() {
    pthread_mutex_destroy(mutex_in(storage_));
}

void PlatformLock::enter() {
    pthread_mutex_lock(mutex_in(storage_));
}

void PlatformLock::leave() {
    pthread_mutex_unlock(mutex_in(storage_));
}

// ---------------------------------------------------------------- temporary files

namespace {

constexpr char kSpillPrefix[] = "zuvo-spill-";
constexpr char kUniqueSuffix[] = "XXXXXX";

int descriptor_of(TempFileHandle file) {
    if (file < 0 || file > INT_MAX) return -1;
    return static_cast<int>(file);
}

}  // namespace

const char* temp_directory() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && dir[0] != '\0') return dir;
    return "/tmp";
}

TempFileHandle temp_file_create(char (&name)[kTempNameCapacity]) {
    name[0] = '\0';
    const char* dir = temp_directory();
    std::size_t dir_length = std::strlen(dir);
    while (dir_length > 1 && dir[dir_length - 1] == '/') --dir_length;  // no "//" in the name

    char pattern[kTempNameCapacity];
    const int written = std::snprintf(pattern, sizeof pattern, "%.*s/%s%s", static_cast<int>(dir_length), dir,
                                      kSpillPrefix, kUniqueSuffix);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof pattern) return kNoTempFile;

    // mkstemp picks a name not in use and creates the file exclusively, so no
    // other process can slip in between choosing the name and opening it.
    int fd;
    do {
        fd = mkstemp(pattern);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoTempFile;
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);

    std::memcpy(name, pattern, static_cast<std::size_t>(written) + 1);
    return static_cast<TempFileHandle>(fd);
}

bool temp_file_write(TempFileHandle file, const void* data, std::size_t length) {
    const int fd = descriptor_of(file);
    if (fd < 0) return false;
    if (length == 0) return true;
    if (data == nullptr) return false;

    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const std::size_t chunk = length > static_cast<std::size_t>(SSIZE_MAX) ? static_cast<std::size_t>(SSIZE_MAX)
                                                                              : length;
        const ssize_t done = write(fd, bytes, chunk);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (done == 0) return false;  // no progress: treat as a failed write
        bytes += done;
        length -= static_cast<std::size_t>(done);
    }
    return true;
}

bool temp_file_seek_start(TempFileHandle file) {
    const int fd = descriptor_of(file);
    return fd >= 0 && lseek(fd, 0, SEEK_SET) != static_cast<off_t>(-1);
}

bool temp_file_seek_end(TempFileHandle file) {
    const int fd = descriptor_of(file);
    return fd >= 0 && lseek(fd, 0, SEEK_END) != static_cast<off_t>(-1);
}

void temp_file_close(TempFileHandle file) {
    const int fd = descriptor_of(file);
    // Not retried on EINTR: the descriptor is released either way on Linux,
    // and a retry could close a descriptor another thread has just opened.
    if (fd >= 0) close(fd);
}

void temp_file_delete(const char* name) {
    if (name != nullptr && name[0] != '\0') unlink(name);
}

}  // namespace zuvo

#endif  // !defined(_WIN32)
