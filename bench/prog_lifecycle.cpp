// lifecycle — every way a context's life can go, run against the shared
// library as a host loads it (dlopen), for a memory checker to watch:
//   1. init, encode, finish, delete;
//   2. init, encode (bytes left carried), delete without finishing;
//   3. reconfigure while running, also to a rejected configuration, then again;
//   4. delete while running, straight after a buffer;
//   5. unload the library (dlclose) with contexts live in every state, load it
//      again: the new registry starts empty;
//   6. leave contexts live in every state and exit the process.
// Spill files must never appear: the program points TMPDIR at a fresh
// directory and checks it is empty before it exits.
//
// Usage: lifecycle [path/to/libZuvoMPAEncoder.so]
//   default: ../libZuvoMPAEncoder.so next to this executable's directory.
// Exit status 0 when every step behaved; under valgrind (scripts/memcheck.sh)
// any leak or bad access fails the run.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fresh_tmpdir.h"
#include "ZuvoMPAEncoder.h"

namespace {

int failures = 0;

#define EXPECT(condition)                                                           \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "lifecycle: line %d: %s\n", __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

// The exported functions, looked up by their decorated names.
struct Library {
    void* module = nullptr;
    decltype(&ZuvoCreateAudioContext) create = nullptr;
    decltype(&ZuvoDeleteAudioContext) destroy = nullptr;
    decltype(&ZuvoInitAudioEncoder) init = nullptr;
    decltype(&ZuvoCompressAudioFrame) compress = nullptr;
    decltype(&ZuvoFinishAudio) finish_audio = nullptr;
    decltype(&ZuvoFinishEncoder) finish_encoder = nullptr;
    decltype(&ZuvoMaxOutputBytes) max_output = nullptr;

    bool load(const std::string& path) {
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            std::fprintf(stderr, "lifecycle: cannot load %s: %s\n", path.c_str(), dlerror());
            return false;
        }
        bool ok = true;
        const auto get = [&](auto& fn, const char* name) {
            void* symbol = dlsym(module, name);
            if (symbol == nullptr) {
                std::fprintf(stderr, "lifecycle: %s not exported\n", name);
                ok = false;
            }
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(symbol);
        };
        get(create, "_Z22ZuvoCreateAudioContextv");
        get(destroy, "_Z22ZuvoDeleteAudioContextPv");
        get(init, "_Z20ZuvoInitAudioEncoderPvP20ZuvoMPAEncoderParams");
        get(compress, "_Z22ZuvoCompressAudioFramePvP11wavehdr_tagPhPi");
        get(finish_audio, "_Z15ZuvoFinishAudioPv");
        get(finish_encoder, "_Z17ZuvoFinishEncoderPv");
        get(max_output, "_Z18ZuvoMaxOutputBytesPvj");
        return ok;
    }
    void unload() {
        if (module != nullptr) dlclose(module);
        module = nullptr;
    }
};

std::vector<char> pcm(int channels, std::size_t samples, int seed) {
    std::vector<char> bytes(samples * static_cast<std::size_t>(channels) * 2);
    for (std::size_t i = 0; i < samples * static_cast<std::size_t>(channels); ++i) {
        const double v = 10000.0 * std::sin(static_cast<double>(i) * (0.013 + 0.002 * seed));
        const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v)));
        bytes[2 * i] = static_cast<char>(s & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(s >> 8);
    }
    return bytes;
}

// Feeds `bytes` in pieces; returns the number of stream bytes produced.
std::size_t feed(const Library& lib, void* h, const std::vector<char>& bytes, std::size_t piece) {
    std::size_t total = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        std::vector<char> chunk(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + piece, bytes.size())));
        wavehdr_tag header{};
        header.lpData = chunk.data();
        header.dwBufferLength = static_cast<std::uint32_t>(chunk.size());
        std::vector<unsigned char> out(static_cast<std::size_t>(lib.max_output(h, header.dwBufferLength)) + 1);
        int length = -1;
        EXPECT(lib.compress(h, &header, out.data(), &length) == 1);
        EXPECT(length >= 0 && static_cast<std::size_t>(length) < out.size());
        if (length > 0) {
            EXPECT(out[0] == 0xFF && out[1] == 0xFC);
            total += static_cast<std::size_t>(length);
        }
    }
    return total;
}

int init(const Library& lib, void* h, int mode, int bitrate, int rate) {
    ZuvoMPAEncoderParams p{mode, bitrate, rate};
    return lib.init(h, &p);
}

std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
        }
        closedir(d);
    }
    return n;
}

// Contexts in every state: created only, running with bytes carried, finished,
// rejected configuration.
void leave_live_contexts(const Library& lib, const std::vector<char>& stereo) {
    void* created = lib.create();
    void* running = lib.create();
    void* finished = lib.create();
    void* rejected = lib.create();
    EXPECT(created != nullptr && running != nullptr && finished != nullptr && rejected != nullptr);
    EXPECT(init(lib, running, 1, 9, 48000) == 1);
    feed(lib, running, std::vector<char>(stereo.begin(), stereo.begin() + 3 * 4608 + 999), 2000);
    EXPECT(init(lib, finished, 2, 12, 32000) == 1);
    feed(lib, finished, std::vector<char>(stereo.begin(), stereo.begin() + 4608), 4608);
    EXPECT(lib.finish_audio(finished) == 1);
    EXPECT(init(lib, rejected, 0, 11, 22050) == 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    if (argc > 1) {
        path = argv[1];
    } else {
        char self[PATH_MAX] = {};
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
        dir = dir.substr(0, dir.find_last_of('/'));
        path = dir + "/../libZuvoMPAEncoder.so";
    }

    // A fresh temporary directory: the library must leave nothing in it.
    const std::string temp_dir = make_fresh_tmpdir("zuvo-lifecycle");
    if (temp_dir.empty()) {
        std::perror("lifecycle: mkdtemp");
        return 2;
    }

    Library lib;
    if (!lib.load(path)) return 2;
    const auto stereo = pcm(2, 8 * 1152 + 300, 1);
    const auto mono = pcm(1, 8 * 1152 + 300, 2);

    // 1. The ordinary life.
    {
        void* h = lib.create();
        EXPECT(init(lib, h, 0, 11, 44100) == 1);
        EXPECT(feed(lib, h, stereo, 4608) > 0);
        EXPECT(lib.finish_audio(h) == 1);
        lib.destroy(h);
        std::printf("lifecycle: init, encode, finish, delete\n");
    }
    // 2. Deleted without finishing, with bytes carried.
    {
        void* h = lib.create();
        EXPECT(init(lib, h, 3, 8, 32000) == 1);
        EXPECT(feed(lib, h, mono, 3001) > 0);
        lib.destroy(h);
        std::printf("lifecycle: delete without finish\n");
    }
    // 3. Reconfigured while running, also to a rejected configuration.
    {
        void* h = lib.create();
        EXPECT(init(lib, h, 1, 10, 48000) == 1);
        feed(lib, h, stereo, 5000);
        EXPECT(init(lib, h, 3, 6, 44100) == 1);
        feed(lib, h, mono, 1000);
        EXPECT(init(lib, h, 9, 6, 44100) == 0);  // rejected: ends the stream
        EXPECT(lib.finish_audio(h) == 0);
        EXPECT(init(lib, h, 2, 14, 32000) == 1);
        feed(lib, h, stereo, 4608);
        EXPECT(init(lib, h, 0, 1, 44100) == 1);
        EXPECT(lib.finish_encoder(h) == 1);
        EXPECT(lib.finish_encoder(h) == 1);
        lib.destroy(h);
        std::printf("lifecycle: reconfigure while running\n");
    }
    // 4. Deleted right after a buffer, while running.
    {
        void* a = lib.create();
        void* b = lib.create();
        EXPECT(init(lib, a, 0, 14, 48000) == 1);
        EXPECT(init(lib, b, 2, 5, 44100) == 1);
        feed(lib, a, stereo, 7777);
        feed(lib, b, stereo, 333);
        lib.destroy(a);
        lib.destroy(b);
        lib.destroy(b);
        std::printf("lifecycle: delete while running\n");
    }
    // 5. Unloaded with live contexts; loaded again, the registry is empty.
    {
        leave_live_contexts(lib, stereo);
        lib.unload();
        if (!lib.load(path)) return 2;
        void* h = lib.create();
        EXPECT(reinterpret_cast<std::uintptr_t>(h) == 1);
        lib.destroy(h);
        std::printf("lifecycle: unload with live contexts, load again\n");
    }
    // 6. Process exit with live contexts (the library stays loaded).
    leave_live_contexts(lib, stereo);
    const std::size_t left = entries_in(temp_dir);
    EXPECT(left == 0);
    if (left == 0) rmdir(temp_dir.c_str());
    std::printf("lifecycle: exit with live contexts, %s\n", failures == 0 ? "all steps behaved" : "FAILED");
    return failures == 0 ? 0 : 1;
}
