// libFuzzer target: the fuzz input becomes a sequence of calls through the
// public functions — create, delete (also of handles that were never issued or
// are gone), init with arbitrary parameters, compress and bounded compress with
// arbitrary buffers, lengths, rate announcements and missing arguments, both
// finish calls, the output bound — on up to four contexts at once.
//
// Beside the library runs a small model of what every call must do: which
// handles are live and which number the next context gets, whether each
// stream runs, its header fields, its current sampling rate and how many bytes
// it carries. After every call the result, *output_length and the output
// bytes are checked against the model: results are 0 or 1, refused calls
// write nothing, a call yields exactly the frames its bytes complete, never
// more bytes than ZuvoMaxOutputBytes promised (the output area is allocated
// at exactly that size, so any overrun is caught by AddressSanitizer), and
// every frame passes the test-side frame reader with the expected header.
//
// Input layout: one byte picks the operation, the bytes after it its
// arguments; missing bytes read as zero. See fuzz/corpus/ for examples.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "fuzz_support.h"
#include "support/frame_reader.h"

namespace {

using zuvo_fuzz::Input;

constexpr int kSlots = 4;
constexpr std::size_t kMaxOperations = 256;
constexpr std::size_t kPcmBudget = 40 * 1024;  // bytes of PCM one input may hand over
constexpr int kUntouched = -7;
constexpr unsigned char kGuard = 0xA5;


bool supported_rate(std::uint64_t r) { return r == 32000 || r == 44100 || r == 48000; }
int kbps(int index) {
    static const int table[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    return index >= 1 && index <= 14 ? table[index] : 0;
}

struct Slot {
    bool live = false;
    void* handle = nullptr;
    bool running = false;
    int mode = 0;
    int header_bitrate = 0;
    std::uint64_t rate = 0;
    std::uint64_t carry = 0;
    std::vector<std::uint8_t> stream;  // since the stream started

    std::uint64_t frame_input() const { return mode == 3 ? 2304 : 4608; }
    // The most bytes a buffer of `length` bytes can give at `at_rate`.
    std::uint64_t bound(std::uint64_t length, std::uint64_t at_rate) const {
        if (!running) return 0;
        // Whole bytes of a frame, plus the padding byte when the average is fractional.
        const std::uint64_t numerator = 144000ull * static_cast<std::uint64_t>(kbps(header_bitrate));
        const std::uint64_t frame = numerator / at_rate + (numerator % at_rate != 0 ? 1 : 0);
        return (carry + length) / frame_input() * frame;
    }
};

struct World {
    Slot slots[kSlots];
    std::size_t pcm_spent = 0;

    std::uintptr_t largest_live() const {
        std::uintptr_t m = 0;
        for (const Slot& s : slots) {
            if (s.live && reinterpret_cast<std::uintptr_t>(s.handle) > m) m = reinterpret_cast<std::uintptr_t>(s.handle);
        }
        return m;
    }
    bool is_live(std::uintptr_t h) const {
        for (const Slot& s : slots) {
            if (s.live && reinterpret_cast<std::uintptr_t>(s.handle) == h) return true;
        }
        return false;
    }
};

// Checks the bytes one call produced: whole frames, as many as expected,
// each valid and carrying the stream's header fields.
void check_frames(const Slot& s, const std::uint8_t* out, int length, std::uint64_t frames) {
    if (length == 0) {
        FUZZ_CHECK(frames == 0, "no output, but %llu frames were complete", static_cast<unsigned long long>(frames));
        return;
    }
    const auto report = zuvo_test::read_layer2_stream(out, static_cast<std::size_t>(length));
    FUZZ_CHECK(report.ok(), "frame reader: %s", report.describe().c_str());
    FUZZ_CHECK(report.frames.size() == frames, "%zu frames, expected %llu", report.frames.size(),
               static_cast<unsigned long long>(frames));
    std::size_t sum = 0;
    for (const auto& f : report.frames) {
        sum += f.length;
        FUZZ_CHECK(f.sampling_rate == static_cast<int>(s.rate), "rate %d, expected %llu", f.sampling_rate,
                   static_cast<unsigned long long>(s.rate));
        FUZZ_CHECK(f.bitrate_index == s.header_bitrate, "bitrate index %d, expected %d", f.bitrate_index,
                   s.header_bitrate);
        FUZZ_CHECK(f.protection_bit == 0, "frame without check word");
        if (s.mode == 1) {
            FUZZ_CHECK(f.mode == 0 || f.mode == 1, "joint stereo stream has a frame of mode %d", f.mode);
        } else {
            FUZZ_CHECK(f.mode == s.mode, "mode %d, expected %d", f.mode, s.mode);
        }
    }
    FUZZ_CHECK(sum == static_cast<std::size_t>(length), "output is not a run of whole frames");
}

void check_stream(Slot& s) {
    if (!s.stream.empty()) {
        const auto report = zuvo_test::read_layer2_stream(s.stream);
        FUZZ_CHECK(report.ok(), "stream: %s", report.describe().c_str());
    }
    s.stream.clear();
}

// A handle that is not live: 0, never issued, far beyond 32 bits, or a live
// number with high bits set.
void* stranger(Input& in, const World& w) {
    std::uintptr_t h = 0;
    switch (in.u8() % 5) {
    case 0: h = 0; break;
    case 1: h = w.largest_live() + 1 + in.u8() % 3; break;
    case 2: h = in.u32(); break;
    case 3: h = ~std::uintptr_t{0} - in.u8(); break;
    case 4: h = (sizeof(std::uintptr_t) > 4 ? (std::uintptr_t{1} << (sizeof(std::uintptr_t) * 4)) : 0) | w.largest_live(); break;
    }
    if (w.is_live(h)) h = 0;
    return reinterpret_cast<void*>(h);
}

// Every call on a handle that is not live is refused and writes nothing.
void poke_stranger(void* h) {
    ZuvoMPAEncoderParams p{0, 11, 44100};
    FUZZ_CHECK(ZuvoInitAudioEncoder(h, &p) == 0, "init on an unknown handle");
    char pcm[8] = {};
    wavehdr_tag header{};
    header.lpData = pcm;
    header.dwBufferLength = sizeof pcm;
    unsigned char out[16];
    std::memset(out, kGuard, sizeof out);
    int length = kUntouched;
    FUZZ_CHECK(ZuvoCompressAudioFrame(h, &header, out, &length) == 0, "compress on an unknown handle");
    FUZZ_CHECK(ZuvoCompressAudioFrameBounded(h, &header, out, 16, &length) == 0, "bounded on an unknown handle");
    FUZZ_CHECK(length == kUntouched && out[0] == kGuard, "unknown handle wrote output");
    FUZZ_CHECK(ZuvoFinishAudio(h) == 0 && ZuvoFinishEncoder(h) == 0, "finish on an unknown handle");
    FUZZ_CHECK(ZuvoMaxOutputBytes(h, 0xFFFFFFFFu) == 0, "bound of an unknown handle");
}

std::int32_t pick_field(Input& in, int modulus, const std::int32_t* table = nullptr) {
    const std::uint8_t b = in.u8();
    if (b >= 0xF0) return static_cast<std::int32_t>(in.u32());  // anything at all
    return table != nullptr ? table[b % modulus] : static_cast<std::int32_t>(b % modulus);
}

void op_init(Input& in, Slot& s) {
    const std::uint8_t flags = in.u8();
    if (flags == 0xFF) {
        FUZZ_CHECK(ZuvoInitAudioEncoder(s.handle, nullptr) == 0, "init with null params");
        return;  // the stream is untouched
    }
    static const std::int32_t rates[3] = {32000, 44100, 48000};
    ZuvoMPAEncoderParams p{};
    p.mode = pick_field(in, 4);
    p.bitrate_index = pick_field(in, 16);
    p.sampling_rate = pick_field(in, 3, rates);
    const int result = ZuvoInitAudioEncoder(s.handle, &p);
    const bool valid = p.mode >= 0 && p.mode <= 3 && p.sampling_rate > 0 &&
                       supported_rate(static_cast<std::uint64_t>(p.sampling_rate));
    FUZZ_CHECK(result == (valid ? 1 : 0), "init(%d, %d, %d) gave %d", p.mode, p.bitrate_index, p.sampling_rate,
               result);
    check_stream(s);
    s.carry = 0;
    s.running = valid;
    if (valid) {
        static const int mono_map[15] = {1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        int index = p.bitrate_index <= 0 || p.bitrate_index >= 15 ? 11 : p.bitrate_index;
        if (p.mode == 3 && index > 10) index = 10;
        s.mode = p.mode;
        s.header_bitrate = p.mode == 3 ? mono_map[index] : index;
        s.rate = static_cast<std::uint64_t>(p.sampling_rate);
    }
}

std::vector<char> make_pcm(Input& in, std::size_t length) {
    std::vector<char> pcm(length);
    const std::uint8_t kind = in.u8();
    const std::uint16_t a = in.u16();
    std::uint32_t noise = a * 2654435761u + 1;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        std::int32_t v = 0;
        switch (kind % 6) {
        case 0: break;                                                    // digital silence
        case 1: v = static_cast<std::int16_t>(a); break;                  // DC
        case 2: v = (i / 2) % 2 ? 32767 : -32768; break;                  // alternating full scale
        case 3: v = ((i / 2) / (1 + a % 64)) % 2 ? 32767 : -32768; break; // square wave
        case 4:                                                           // noise
            noise = noise * 1664525u + 1013904223u;
            v = static_cast<std::int16_t>(noise >> 16);
            break;
        case 5: v = static_cast<std::int32_t>((i * (1 + a % 97)) % 65536) - 32768; break;  // sawtooth
        }
        pcm[i] = static_cast<char>(v & 0xFF);
        pcm[i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    // The fuzzer may overwrite the start with bytes of its own choosing.
    if (kind >= 0x80) in.take(reinterpret_cast<std::uint8_t*>(pcm.data()), length < 512 ? length : 512);
    return pcm;
}

std::size_t pick_length(Input& in, World& w) {
    const std::uint16_t v = in.u16();
    std::size_t length = 0;
    switch (v >> 14) {
    case 0: length = v % 8; break;                  // tiny, odd, zero
    case 1: length = 4608 * (1 + v % 3) + v % 5 - 2; break;  // around whole frames
    case 2: length = v % 12000; break;
    case 3: length = 38400 + v % 3000 - 1500; break;  // around the old staging size
    }
    if (w.pcm_spent + length > kPcmBudget) length = (kPcmBudget - w.pcm_spent) % 4096;
    w.pcm_spent += length;
    return length;
}

std::uintptr_t pick_user(Input& in) {
    const std::uint8_t b = in.u8();
    switch (b % 8) {
    case 0: case 1: case 2: return 0;
    case 3: return 22050 + (b >> 7);  // the edge of "no change"
    case 4: return 32000;
    case 5: return 44100;
    case 6: return 48000;
    default: {
        std::uintptr_t v = in.u32();
        if (sizeof(std::uintptr_t) > 4 && (b & 0x80)) v |= ~std::uintptr_t{0} << (sizeof(std::uintptr_t) * 4);
        return v;
    }
    }
}

// Compress or bounded compress on a live slot.
void op_compress(Input& in, World& w, Slot& s, bool bounded) {
    const std::uint8_t missing = in.u8();  // which argument to leave out, sometimes
    const std::size_t length = pick_length(in, w);
    std::vector<char> pcm = make_pcm(in, length);
    // An exact-size copy, so that reading past dwBufferLength is caught.
    char* data = length > 0 ? new char[length] : new char[1];
    if (length > 0) std::memcpy(data, pcm.data(), length);

    wavehdr_tag header{};
    header.lpData = data;
    header.dwBufferLength = static_cast<std::uint32_t>(length);
    header.dwUser = pick_user(in);
    header.dwFlags = in.u32();  // ignored by the library
    const bool no_header = missing == 1;
    const bool no_data = missing == 2;
    const bool no_output = missing == 3;
    const bool no_length = missing == 4;
    if (no_data) header.lpData = nullptr;

    // Which rate this call's frames will have.
    const bool announces = s.running && header.dwUser > 22050 && supported_rate(header.dwUser);
    const std::uint64_t call_rate = announces ? header.dwUser : s.rate;
    const std::uint64_t promised = static_cast<std::uint64_t>(ZuvoMaxOutputBytes(s.handle, static_cast<unsigned>(length)));
    FUZZ_CHECK(promised == s.bound(length, s.running ? s.rate : 1),
               "ZuvoMaxOutputBytes %llu, expected %llu", static_cast<unsigned long long>(promised),
               static_cast<unsigned long long>(s.bound(length, s.running ? s.rate : 1)));
    const std::uint64_t needed = s.bound(length, s.running ? call_rate : 1);

    int capacity = static_cast<int>(needed);
    if (bounded) {
        switch (in.u8() % 5) {
        case 0: break;
        case 1: capacity = static_cast<int>(needed) - 1; break;
        case 2: capacity = static_cast<int>(needed) + in.u8(); break;
        case 3: capacity = -1 - in.u8(); break;
        case 4: capacity = static_cast<int>(in.u16() % 4096); break;
        }
    }
    // The output area is exactly as large as the call may fill.
    const std::size_t area = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::uint8_t* out = new std::uint8_t[area == 0 ? 1 : area];
    std::memset(out, kGuard, area == 0 ? 1 : area);
    int produced = kUntouched;
    int result = 0;
    if (bounded) {
        result = ZuvoCompressAudioFrameBounded(s.handle, no_header ? nullptr : &header, no_output ? nullptr : out,
                                               capacity, no_length ? nullptr : &produced);
    } else {
        result = ZuvoCompressAudioFrame(s.handle, no_header ? nullptr : &header, no_output ? nullptr : out,
                                        no_length ? nullptr : &produced);
    }
    FUZZ_CHECK(result == 0 || result == 1, "result %d", result);

    bool refused_untouched = no_header || no_data || no_output || no_length;
    if (bounded && !refused_untouched) refused_untouched = capacity < 0 || needed > static_cast<std::uint64_t>(capacity);
    if (refused_untouched) {
        FUZZ_CHECK(result == 0, "a call that had to be refused returned %d", result);
        FUZZ_CHECK(produced == kUntouched, "a refused call wrote *output_length = %d", produced);
        for (std::size_t i = 0; i < area; ++i) FUZZ_CHECK(out[i] == kGuard, "a refused call wrote output");
    } else if (!s.running) {
        FUZZ_CHECK(result == 0 && produced == 0, "stopped context: result %d, length %d", result, produced);
        for (std::size_t i = 0; i < area; ++i) FUZZ_CHECK(out[i] == kGuard, "a stopped context wrote output");
    } else {
        FUZZ_CHECK(result == 1, "running context refused a good buffer");
        FUZZ_CHECK(produced >= 0 && static_cast<std::uint64_t>(produced) <= needed, "length %d above bound %llu",
                   produced, static_cast<unsigned long long>(needed));
        if (!announces || call_rate == s.rate) {
            FUZZ_CHECK(static_cast<std::uint64_t>(produced) <= promised, "length %d above ZuvoMaxOutputBytes %llu",
                       produced, static_cast<unsigned long long>(promised));
        }
        if (announces && call_rate != s.rate) {
            // The padding sequence restarts with the new rate.
            check_stream(s);
        }
        s.rate = call_rate;
        const std::uint64_t frames = (s.carry + length) / s.frame_input();
        s.carry = (s.carry + length) % s.frame_input();
        check_frames(s, out, produced, frames);
        for (std::size_t i = static_cast<std::size_t>(produced); i < area; ++i) {
            FUZZ_CHECK(out[i] == kGuard, "bytes written behind the reported length");
        }
        s.stream.insert(s.stream.end(), out, out + produced);
        if (s.stream.size() > (1u << 20)) s.stream.clear();
    }
    delete[] out;
    delete[] data;
}

void run(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    World w;
    for (std::size_t n = 0; n < kMaxOperations && !in.empty(); ++n) {
        const std::uint8_t op = in.u8();
        Slot& s = w.slots[in.u8() % kSlots];
        switch (op % 12) {
        case 0:
        case 1: {  // create
            if (s.live) break;
            const std::uintptr_t expected = w.largest_live() + 1;
            void* h = ZuvoCreateAudioContext();
            FUZZ_CHECK(reinterpret_cast<std::uintptr_t>(h) == expected, "new handle %zu, expected %zu",
                       static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(h)), static_cast<std::size_t>(expected));
            s = Slot{};
            s.live = true;
            s.handle = h;
            break;
        }
        case 2: {  // delete, in any state; deleting twice is harmless
            if (!s.live) break;
            check_stream(s);
            ZuvoDeleteAudioContext(s.handle);
            poke_stranger(s.handle);
            ZuvoDeleteAudioContext(s.handle);
            s = Slot{};
            break;
        }
        case 3: {  // calls on handles that are not live
            void* h = stranger(in, w);
            ZuvoDeleteAudioContext(h);
            poke_stranger(h);
            break;
        }
        case 4:
            if (s.live) op_init(in, s);
            break;
        case 5:
        case 6:
        case 7:
            if (s.live) op_compress(in, w, s, false);
            break;
        case 8:
            if (s.live) op_compress(in, w, s, true);
            break;
        case 9:
            if (s.live) {
                FUZZ_CHECK(ZuvoFinishAudio(s.handle) == (s.running ? 1 : 0), "ZuvoFinishAudio");
                check_stream(s);
                s.running = false;
            }
            break;
        case 10:
            if (s.live) {
                FUZZ_CHECK(ZuvoFinishEncoder(s.handle) == 1, "ZuvoFinishEncoder on a live context");
                check_stream(s);
                s.running = false;
            }
            break;
        case 11:
            if (s.live) {
                const std::uint32_t bytes = in.u32();
                const int bound = ZuvoMaxOutputBytes(s.handle, bytes);
                FUZZ_CHECK(bound >= 0 && static_cast<std::uint64_t>(bound) == s.bound(bytes, s.running ? s.rate : 1),
                           "ZuvoMaxOutputBytes(%u) = %d", bytes, bound);
            }
            break;
        }
    }
    // Nothing outlives the input: every context goes, and with it any memory.
    for (Slot& s : w.slots) {
        if (s.live) {
            check_stream(s);
            ZuvoDeleteAudioContext(s.handle);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run(data, size);
    return 0;
}
