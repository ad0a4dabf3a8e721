// libFuzzer target over the C interface (zuvo_mpa.h): the fuzz input becomes
// a sequence of calls — create with arbitrary settings (and missing
// pointers), encode with arbitrary sample counts, capacities and missing
// arguments, flush, reset, destroy, strerror of any number — on up to two
// encoders at once.
//
// Beside the library runs a model of what each call must do. Every result is
// one of the documented codes; a refused call writes nothing; a call never
// writes more than its capacity (the output area is allocated at exactly
// that size, so an overrun is caught by AddressSanitizer); an encode yields
// exactly the frames its samples complete; a flush brings a stream of N
// samples per channel to ceil((N + 481) / 1152) frames; every frame passes
// the test-side frame reader with the stream's header fields.
//
// Input layout: one byte picks the operation, the bytes after it its
// arguments; missing bytes read as zero.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "support/frame_reader.h"
#include "zuvo_mpa.h"

namespace {

using zuvo_fuzz::Input;

constexpr int kSlots = 2;
constexpr std::size_t kMaxOperations = 128;
constexpr std::size_t kSampleBudget = 12 * 1152;  // samples per channel one input may encode
constexpr std::uint64_t kFrame = 1152;
constexpr std::uint64_t kDelay = 481;

struct Slot {
    zuvo_mpa_encoder* encoder = nullptr;
    zuvo_mpa_settings settings{};
    std::uint64_t samples = 0;  // per channel, since the stream started
    std::uint64_t frames = 0;   // frames written since the stream started
    bool flushed = false;
    int messages = 0;
};

void count_message(void* user_data, const char* message) {
    FUZZ_CHECK(message != nullptr && message[0] != '\0', "empty log message");
    ++*static_cast<int*>(user_data);
}

int two_channel_kbps_ok(int kbps) {
    static const int allowed[] = {64, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    for (int k : allowed) {
        if (k == kbps) return 1;
    }
    return 0;
}

// The result create must give for these settings (out of memory aside).
int expected_create(const zuvo_mpa_settings& s) {
    if (s.mode < 0 || s.mode > 3) return ZUVO_MPA_ERROR_BAD_MODE;
    const bool bitrate_ok = s.mode == 3 ? (s.bitrate_kbps == 32 || s.bitrate_kbps == 48 || s.bitrate_kbps == 56 ||
                                           s.bitrate_kbps == 64 || s.bitrate_kbps == 80 || s.bitrate_kbps == 96)
                                        : two_channel_kbps_ok(s.bitrate_kbps) != 0;
    if (!bitrate_ok) return ZUVO_MPA_ERROR_BAD_BITRATE;
    if (s.sample_rate != 32000 && s.sample_rate != 44100 && s.sample_rate != 48000) {
        return ZUVO_MPA_ERROR_BAD_SAMPLE_RATE;
    }
    return ZUVO_MPA_OK;
}

int pick(Input& in, const int* table, int count) {
    const std::uint8_t b = in.u8();
    if (b >= 0xF0) return static_cast<int>(in.u32());  // anything at all
    return table[b % count];
}

// The frames of one call: as many as expected, valid, with the stream's fields.
void check_frames(const Slot& s, const std::vector<unsigned char>& out, std::size_t length, std::uint64_t frames) {
    if (frames == 0) {
        FUZZ_CHECK(length == 0, "%zu bytes without a completed frame", length);
        return;
    }
    const auto report = zuvo_test::read_layer2_stream(out.data(), length);
    FUZZ_CHECK(report.ok(), "frame reader: %s", report.describe().c_str());
    FUZZ_CHECK(report.frames.size() == frames, "%zu frames, expected %llu", report.frames.size(),
               static_cast<unsigned long long>(frames));
    for (const auto& f : report.frames) {
        FUZZ_CHECK(f.sampling_rate == s.settings.sample_rate, "rate %d", f.sampling_rate);
        FUZZ_CHECK(f.bitrate_kbps == s.settings.bitrate_kbps, "bitrate %d", f.bitrate_kbps);
        FUZZ_CHECK(f.channels == (s.settings.mode == 3 ? 1 : 2), "channels %d", f.channels);
    }
}

// A capacity around the bound: exact, one short, none, or generous.
std::size_t pick_capacity(Input& in, std::size_t bound) {
    switch (in.u8() % 4) {
    case 0: return bound;
    case 1: return bound > 0 ? bound - 1 - in.u8() % (bound < 256 ? bound : 256) : 0;
    case 2: return 0;
    default: return bound + in.u8();
    }
}

void op_create(Input& in, Slot& s) {
    zuvo_mpa_destroy(s.encoder);
    s = Slot{};
    static const int modes[] = {0, 1, 2, 3, 4, -1};
    static const int rates[] = {32000, 44100, 48000, 22050, 0};
    static const int kbps[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0, 100, 448};
    s.settings.mode = pick(in, modes, 6);
    s.settings.bitrate_kbps = pick(in, kbps, 17);
    s.settings.sample_rate = pick(in, rates, 5);
    const std::uint8_t flags = in.u8();
    if (flags & 1) {
        s.settings.log = count_message;
        s.settings.log_user_data = &s.messages;
    }
    if (flags & 2) {
        FUZZ_CHECK(zuvo_mpa_create(nullptr, nullptr) == nullptr, "create without settings");
    }
    int error = 1;
    s.encoder = zuvo_mpa_create(&s.settings, (flags & 4) ? nullptr : &error);
    const int expected = expected_create(s.settings);
    if (expected != ZUVO_MPA_OK) {
        FUZZ_CHECK(s.encoder == nullptr, "settings refused with %d gave an encoder", expected);
        FUZZ_CHECK((flags & 4) || error == expected, "create: %d, expected %d", error, expected);
        return;
    }
    FUZZ_CHECK(s.encoder != nullptr, "valid settings refused with %d", error);
    FUZZ_CHECK((flags & 4) || error == ZUVO_MPA_OK, "create succeeded with %d", error);
    FUZZ_CHECK(zuvo_mpa_channels(s.encoder) == (s.settings.mode == 3 ? 1 : 2), "channels");
}

void op_encode(Input& in, Slot& s, std::size_t& budget) {
    std::size_t n = in.u16() % (3 * kFrame);
    if (n > budget) n = budget;
    budget -= n;
    const int channels = zuvo_mpa_channels(s.encoder);
    std::vector<std::int16_t> pcm(n * static_cast<std::size_t>(channels) + 1);
    in.take(reinterpret_cast<std::uint8_t*>(pcm.data()), (pcm.size() - 1) * sizeof(std::int16_t));
    const std::size_t bound = zuvo_mpa_max_output(s.encoder, n);
    const std::size_t capacity = pick_capacity(in, bound);
    std::vector<unsigned char> out(capacity);
    const std::uint8_t missing = in.u8() % 8;
    std::size_t length = 12345;
    const int result = zuvo_mpa_encode(s.encoder, (missing == 1 && n > 0) ? nullptr : pcm.data(), n,
                                       capacity > 0 ? out.data() : nullptr, capacity,
                                       missing == 2 ? nullptr : &length);
    if (missing == 2) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_INVALID_ARGUMENT, "encode without output_bytes: %d", result);
        return;
    }
    if (missing == 1 && n > 0) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_INVALID_ARGUMENT && length == 0, "encode without samples: %d", result);
        return;
    }
    if (s.flushed) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_FLUSHED && length == 0, "encode after flush: %d", result);
        return;
    }
    if (capacity < bound) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_BUFFER_TOO_SMALL && length == 0, "short capacity: %d", result);
        return;
    }
    FUZZ_CHECK(result == ZUVO_MPA_OK, "encode: %d", result);
    FUZZ_CHECK(length <= capacity, "%zu bytes into %zu", length, capacity);
    s.samples += n;
    const std::uint64_t frames = s.samples / kFrame - s.frames;
    check_frames(s, out, length, frames);
    s.frames += frames;
}

void op_flush(Input& in, Slot& s) {
    const std::size_t bound = zuvo_mpa_max_output(s.encoder, 0);
    const std::size_t capacity = pick_capacity(in, bound);
    std::vector<unsigned char> out(capacity);
    std::size_t length = 12345;
    const int result = zuvo_mpa_flush(s.encoder, capacity > 0 ? out.data() : nullptr, capacity, &length);
    if (s.flushed) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_FLUSHED && length == 0, "second flush: %d", result);
        return;
    }
    if (capacity < bound) {
        FUZZ_CHECK(result == ZUVO_MPA_ERROR_BUFFER_TOO_SMALL && length == 0, "short flush capacity: %d", result);
        return;
    }
    FUZZ_CHECK(result == ZUVO_MPA_OK, "flush: %d", result);
    const std::uint64_t total = s.samples == 0 ? 0 : (s.samples + kDelay + kFrame - 1) / kFrame;
    check_frames(s, out, length, total - s.frames);
    s.frames = total;
    s.flushed = true;
}

void op_reset(Slot& s) {
    FUZZ_CHECK(zuvo_mpa_reset(s.encoder) == ZUVO_MPA_OK, "reset");
    s.samples = 0;
    s.frames = 0;
    s.flushed = false;
}

// Calls without an encoder, and the names of any result.
void op_strangers(Input& in) {
    std::size_t length = 7;
    unsigned char byte = 0;
    FUZZ_CHECK(zuvo_mpa_encode(nullptr, nullptr, 0, &byte, 1, &length) == ZUVO_MPA_ERROR_INVALID_ARGUMENT &&
                   length == 0,
               "encode without encoder");
    FUZZ_CHECK(zuvo_mpa_flush(nullptr, &byte, 1, &length) == ZUVO_MPA_ERROR_INVALID_ARGUMENT, "flush");
    FUZZ_CHECK(zuvo_mpa_reset(nullptr) == ZUVO_MPA_ERROR_INVALID_ARGUMENT, "reset without encoder");
    FUZZ_CHECK(zuvo_mpa_max_output(nullptr, in.u32()) == 0 && zuvo_mpa_channels(nullptr) == 0, "queries");
    zuvo_mpa_destroy(nullptr);
    const char* name = zuvo_mpa_strerror(static_cast<int>(in.u32()));
    FUZZ_CHECK(name != nullptr && name[0] != '\0', "strerror");
    FUZZ_CHECK(zuvo_mpa_version() != nullptr, "version");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Slot slots[kSlots];
    std::size_t budget = kSampleBudget;
    for (std::size_t op = 0; op < kMaxOperations && !in.empty(); ++op) {
        const std::uint8_t code = in.u8();
        Slot& s = slots[(code >> 4) % kSlots];
        if ((code & 7) == 0 || s.encoder == nullptr) {
            if ((code & 7) == 6) {
                op_strangers(in);
            } else {
                op_create(in, s);
            }
            continue;
        }
        switch (code & 7) {
        case 1:
        case 2:
            op_encode(in, s, budget);
            break;
        case 3: op_flush(in, s); break;
        case 4: op_reset(s); break;
        case 5:
            zuvo_mpa_destroy(s.encoder);
            s = Slot{};
            break;
        default: op_strangers(in); break;
        }
    }
    for (Slot& s : slots) zuvo_mpa_destroy(s.encoder);
    return 0;
}
