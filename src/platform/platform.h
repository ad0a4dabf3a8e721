// Internal header: the small layer that stands in for operating-system
// services. Included by the boundary (lock, load/unload), the overflow store
// (temporary files) and every stage that allocates stream memory. Nothing
// outside src/platform includes system headers of one platform.
#pragma once

#include <cstddef>
#include <cstdint>

// Marks a signal-processing kernel to be compiled twice, for AVX2 and for the
// baseline instruction set, the better one being chosen when the library is
// loaded. Both do the same IEEE operations in the same order (contraction is
// off), so the results are bit-identical; only the vector width differs.
// ZUVO_WIDE_KERNEL adds an AVX-512 copy, for kernels whose vectors fill its
// wider registers. ZUVO_MULTIVERSION is 1 where such copies are made:
// kernels that need a different shape per instruction set make their own
// copies under it.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZUVO_MULTIVERSION 1
#define ZUVO_VECTOR_KERNEL __attribute__((target_clones("avx2", "default")))
#define ZUVO_WIDE_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))
#define ZUVO_COPY(kernel) kernel
#else
#define ZUVO_MULTIVERSION 0
#define ZUVO_VECTOR_KERNEL
#define ZUVO_WIDE_KERNEL
#define ZUVO_COPY(kernel) nullptr
#endif

// The lanes of vector v rearranged by constant indices: lane i of the result
// is lane index_i of v. Index is an integer vector type of v's lane count
// (GCC's form needs it; Clang spells the operation differently).
#if defined(__clang__)
#define ZUVO_SHUFFLE(v, Index, ...) __builtin_shufflevector(v, v, __VA_ARGS__)
#else
#define ZUVO_SHUFFLE(v, Index, ...) __builtin_shuffle(v, Index{__VA_ARGS__})
#endif

namespace zuvo {

// The instruction-set copies of a kernel that this machine runs, the
// baseline first and the widest last, for kernels that need a different
// shape per instruction set and make their copies by hand (target
// attributes, under ZUVO_MULTIVERSION). pick(-1) is the widest; tests pick
// 0 .. count - 1 to hold every copy to the same bits.
template <typename Kernel>
struct KernelCopies {
    Kernel copy[3] = {};
    int count = 0;
    Kernel pick(int which) const { return copy[which >= 0 && which < count ? which : count - 1]; }
};

// avx2 and avx512 are null where no such copy is built (wrap them in
// ZUVO_COPY). An AVX2 copy runs where the processor has AVX2 and FMA, an
// AVX-512 copy where it has AVX-512F. Callers keep the result in a
// function-local static, so the processor is asked once.
template <typename Kernel>
KernelCopies<Kernel> find_kernel_copies(Kernel baseline, Kernel avx2, Kernel avx512) {
    KernelCopies<Kernel> found;
    found.copy[found.count++] = baseline;
#if ZUVO_MULTIVERSION
    __builtin_cpu_init();
    if (avx2 != nullptr && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        found.copy[found.count++] = avx2;
    }
    if (avx512 != nullptr && __builtin_cpu_supports("avx512f")) found.copy[found.count++] = avx512;
#else
    (void)avx2;
    (void)avx512;
#endif
    return found;
}

// What a diagnostic message is about.
enum class Diagnostic {
    kStreamSetup,      // the psychoacoustic model's table row for a new stream, or a rate it replaced
    kSettingRejected,  // a sampling rate or channel mode a stream cannot have
    kLargeBuffer,      // a buffer larger than the six functions' historical staging area
    kHostCall,         // a call of the six functions that could not be served
};

// The library's one diagnostic hook: every message goes through the sink of
// the encoder (or the call) it concerns, one message per call, without a line
// break. The default sends nowhere. The interface that owns an encoder decides
// what a message becomes: the six functions print some kinds with their
// historical texts, the C interface hands them to the host's log callback.
struct DiagnosticSink {
    void (*emit)(void* context, Diagnostic kind, const char* message) = nullptr;
    void* context = nullptr;

    void operator()(Diagnostic kind, const char* message) const {
        if (emit != nullptr) {
            emit(context, kind, message);
        }
    }
};

// Zero-filling allocation under a diagnostic name (the name is otherwise
// ignored). Returns null when memory is exhausted. release() ignores null.
void* allocate(std::size_t size, const char* name);
void release(void* pointer);

// The library's one lock (a critical section on Windows, a mutex elsewhere).
class PlatformLock {
public:
    PlatformLock();
    ~PlatformLock();
    PlatformLock(const PlatformLock&) = delete;
    PlatformLock& operator=(const PlatformLock&) = delete;
    void enter();
    void leave();

private:
    alignas(16) unsigned char storage_[64];
};

// Scoped holder of a PlatformLock.
class LockGuard {
public:
    explicit LockGuard(PlatformLock& lock) : lock_(lock) { lock_.enter(); }
    ~LockGuard() { lock_.leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    PlatformLock& lock_;
};

// Temporary files for the overflow store's spill chain.
using TempFileHandle = std::intptr_t;
constexpr TempFileHandle kNoTempFile = -1;

// Size of the name field a caller provides to temp_file_create.
constexpr std::size_t kTempNameCapacity = 520;

// Picks a name not in use in the platform's temporary directory, creates the
// file for writing (others may read it), replacing any file of that name, and
// copies the name (with its terminating zero) into `name`. Returns
// kNoTempFile when no file could be created.
TempFileHandle temp_file_create(char (&name)[kTempNameCapacity]);
// Writes at the current position; returns false when not all bytes were written.
bool temp_file_write(TempFileHandle file, const void* data, std::size_t length);
bool temp_file_seek_start(TempFileHandle file);
bool temp_file_seek_end(TempFileHandle file);
void temp_file_close(TempFileHandle file);
void temp_file_delete(const char* name);
// The directory spill files go to (for tests and diagnostics).
const char* temp_directory();

}  // namespace zuvo
