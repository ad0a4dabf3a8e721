// A host that loads ZuvoMPAEncoder.dll at run time, as hosts built with
// Microsoft's compiler do: LoadLibraryA, GetProcAddress for every exported
// name, FreeLibrary.
//
// Checks that each Microsoft name resolves to the same function as its GCC
// twin, encodes streams through the Microsoft names, and that unloading the
// library with live, running contexts destroys them: their memory comes back
// and no spill file is left behind, and a new load starts a new registry.
#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host_common.h"

namespace {

struct Export {
    const char* gcc;
    const char* microsoft;
};

#if defined(_WIN64)
#  define ZUVO_P "PEA"
#else
#  define ZUVO_P "PA"
#endif

// In the order of host::Api's members.
const Export kExports[] = {
    {"_Z22ZuvoCreateAudioContextv", "?ZuvoCreateAudioContext@@YA" ZUVO_P "XXZ"},
    {"_Z22ZuvoDeleteAudioContextPv", "?ZuvoDeleteAudioContext@@YAX" ZUVO_P "X@Z"},
    {"_Z20ZuvoInitAudioEncoderPvP20ZuvoMPAEncoderParams",
     "?ZuvoInitAudioEncoder@@YAH" ZUVO_P "X" ZUVO_P "UZuvoMPAEncoderParams@@@Z"},
    {"_Z22ZuvoCompressAudioFramePvP11wavehdr_tagPhPi",
     "?ZuvoCompressAudioFrame@@YAH" ZUVO_P "X" ZUVO_P "Uwavehdr_tag@@" ZUVO_P "E" ZUVO_P "H@Z"},
    {"_Z15ZuvoFinishAudioPv", "?ZuvoFinishAudio@@YAH" ZUVO_P "X@Z"},
    {"_Z17ZuvoFinishEncoderPv", "?ZuvoFinishEncoder@@YAH" ZUVO_P "X@Z"},
    {"_Z18ZuvoMaxOutputBytesPvj", "?ZuvoMaxOutputBytes@@YAH" ZUVO_P "XI@Z"},
    {"_Z29ZuvoCompressAudioFrameBoundedPvP11wavehdr_tagPhiPi",
     "?ZuvoCompressAudioFrameBounded@@YAH" ZUVO_P "X" ZUVO_P "Uwavehdr_tag@@" ZUVO_P "EH" ZUVO_P "H@Z"},
};
constexpr int kExportCount = sizeof kExports / sizeof kExports[0];

const char kLibrary[] = "ZuvoMPAEncoder.dll";

template <typename Function>
void take(Function& slot, FARPROC address) {
    static_assert(sizeof slot == sizeof address, "function pointers of one size");
    std::memcpy(&slot, &address, sizeof slot);
}

// Resolves the Microsoft names into `api`; false when one is missing.
bool resolve(HMODULE module, host::Api& api, host::Checks& check) {
    FARPROC found[kExportCount];
    bool all = true;
    for (int i = 0; i < kExportCount; ++i) {
        const FARPROC gcc = GetProcAddress(module, kExports[i].gcc);
        found[i] = GetProcAddress(module, kExports[i].microsoft);
        all = check(gcc != nullptr, kExports[i].gcc) && all;
        all = check(found[i] != nullptr, kExports[i].microsoft) && all;
        all = check(gcc == found[i], "the Microsoft name is an alias of the GCC name", i) && all;
    }
    take(api.create, found[0]);
    take(api.destroy, found[1]);
    take(api.init, found[2]);
    take(api.compress, found[3]);
    take(api.finish_audio, found[4]);
    take(api.finish_encoder, found[5]);
    take(api.max_output_bytes, found[6]);
    take(api.compress_bounded, found[7]);
    return all;
}

long long private_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long long>(counters.PagefileUsage);
}

std::size_t entries_in(const std::string& directory) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    std::size_t count = 0;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

// Loads the library, starts `contexts` streams with a buffer of samples in
// each, and unloads it with all of them alive.
void load_run_unload(int contexts, host::Checks& check) {
    const HMODULE module = LoadLibraryA(kLibrary);
    if (!check(module != nullptr, "LoadLibraryA")) return;
    host::Api api{};
    if (resolve(module, api, check)) {
        const std::vector<char> pcm = host::little_endian(host::test_signal(2, 1152 * 3));
        std::vector<unsigned char> output(65536);
        for (int i = 0; i < contexts; ++i) {
            void* context = api.create();
            check(context == reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1)),
                  "a fresh registry numbers contexts from 1", reinterpret_cast<std::intptr_t>(context), i + 1);
            ZuvoMPAEncoderParams params{i % 4, 11 - i % 2, 48000};
            check(api.init(context, &params) == 1, "init");
            wavehdr_tag header{};
            header.lpData = const_cast<char*>(pcm.data());
            header.dwBufferLength = static_cast<DWORD>(pcm.size() / (i % 4 == 3 ? 2 : 1));
            int length = 0;
            check(api.compress(context, &header, output.data(), &length) == 1 && length > 0, "compress");
        }
    }
    check(FreeLibrary(module) != 0, "FreeLibrary");
    check(GetModuleHandleA(kLibrary) == nullptr, "the library is unloaded");
}

}  // namespace

int main() {
    host::Checks check;

    // Spill files would go to TMP: a fresh directory that must stay empty.
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof temp, temp);
    const std::string spill_dir = std::string(temp) + "zuvo-host-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(spill_dir.c_str(), nullptr);
    _putenv_s("TMP", spill_dir.c_str());

    // Every name, and streams through the Microsoft names.
    const HMODULE module = LoadLibraryA(kLibrary);
    if (!check(module != nullptr, "LoadLibraryA", static_cast<long long>(GetLastError()))) {
        return check.finish("host_loadlibrary");
    }
    host::Api api{};
    if (resolve(module, api, check)) {
        for (const host::Config& config : host::kIdentityConfigs) {
            const host::Stream stream = host::encode(api, config);
            check(stream.calls_ok, "every call of the stream answered as it should");
            check(stream.frames > 0, "the stream is made of whole frames", stream.frames, 1);
        }
    }
    check(FreeLibrary(module) != 0, "FreeLibrary");

    // Unloading with live contexts destroys them. Their memory (over 2 MB of
    // overflow blocks each) must come back, so repeating it does not grow the
    // process.
    load_run_unload(6, check);
    const long long before = private_bytes();
    for (int round = 0; round < 10; ++round) load_run_unload(6, check);
    const long long grown = private_bytes() - before;
    check(before > 0, "the process's private bytes are known", before);
    check(grown < 24ll << 20, "unloading with live contexts frees them (growth in bytes)", grown, 24ll << 20);
    check(entries_in(spill_dir) == 0, "no spill file is left", static_cast<long long>(entries_in(spill_dir)));

    RemoveDirectoryA(spill_dir.c_str());
    return check.finish("host_loadlibrary");
}
