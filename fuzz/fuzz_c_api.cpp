// libFuzzer target over the C interface (zuvo_mpa.h): the fuzz input becomes
// a sequence of calls — create with arbitrary settings or configurations
// (header flags, emphasis, error protection, tuning, ancillary bytes, missing
// pointers), encode 16-bit, float or 32-bit samples with arbitrary counts,
// capacities and missing arguments, flush, reset, destroy, the format
// queries and strerror of any number — on up to two encoders at once.
//
// Beside the library runs a model of what each call must do. Every result is
// one of the documented codes; a refused call writes nothing; a call never
// writes more than its capacity (the output area is allocated at exactly
// that size, so an overrun is caught by AddressSanitizer); an encode yields
// exactly the frames its samples complete; a flush brings a stream of N
// samples per channel to ceil((N + 481) / 1152) frames; every frame passes
// the test-side frame reader with the stream's header fields, flags and
// ancillary bytes.
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
    // Set through a configuration; the defaults are what zuvo_mpa_create codes.
    int copyright = 0, original = 0, private_bit = 0, emphasis = 0, protection = 1;
    std::size_t ancillary = 0;
    std::uint64_t filled = 0;  // frames whose ancillary bytes were asked for
    std::uint64_t samples = 0;  // per channel, since the stream started
    std::uint64_t frames = 0;   // frames written since the stream started
    bool flushed = false;
    int messages = 0;
};

void count_message(void* user_data, const char* message) {
    FUZZ_CHECK(message != nullptr && message[0] != '\0', "empty log message");
    ++*static_cast<int*>(user_data);
}

bool listed(const int* list, std::size_t count, int value) {
    for (std::size_t i = 0; i < count; ++i) {
        if (list[i] == value) return true;
    }
    return false;
}

// The result create must give for these settings (out of memory aside).
int expected_create(const zuvo_mpa_settings& s) {
    static const int mpeg1_rates[] = {32000, 44100, 48000};
    static const int low_rates[] = {16000, 22050, 24000};
    static const int two_channels[] = {64, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    static const int one_channel[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192};
    static const int low[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    if (s.mode < 0 || s.mode > 3) return ZUVO_MPA_ERROR_BAD_MODE;
    const bool mpeg1 = listed(mpeg1_rates, 3, s.sample_rate);
    if (!mpeg1 && !listed(low_rates, 3, s.sample_rate)) return ZUVO_MPA_ERROR_BAD_SAMPLE_RATE;
    const bool bitrate_ok = !mpeg1 ? listed(low, 14, s.bitrate_kbps)
                            : s.mode == 3 ? listed(one_channel, 10, s.bitrate_kbps)
                                          : listed(two_channels, 10, s.bitrate_kbps);
    return bitrate_ok ? ZUVO_MPA_OK : ZUVO_MPA_ERROR_BAD_BITRATE;
}

// Frame k's ancillary bytes, as the fill function writes and the check expects.
std::uint8_t ancillary_byte(std::uint64_t frame, std::size_t i) {
    return static_cast<std::uint8_t>(frame * 31 + i * 7 + 1);
}

void fill_ancillary(void* user_data, std::uint64_t frame, unsigned char* bytes, std::size_t count) {
    Slot& s = *static_cast<Slot*>(user_data);
    FUZZ_CHECK(frame == s.filled, "ancillary bytes asked for frame %llu, expected %llu",
               static_cast<unsigned long long>(frame), static_cast<unsigned long long>(s.filled));
    FUZZ_CHECK(count == s.ancillary, "%zu ancillary bytes, expected %zu", count, s.ancillary);
    for (std::size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(bytes[i] == 0, "ancillary bytes not zero on entry");
        bytes[i] = ancillary_byte(frame, i);
    }
    ++s.filled;
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
    const auto report = zuvo_test::read_layer2_stream(out.data(), length, s.ancillary);
    FUZZ_CHECK(report.ok(), "frame reader: %s", report.describe().c_str());
    FUZZ_CHECK(report.frames.size() == frames, "%zu frames, expected %llu", report.frames.size(),
               static_cast<unsigned long long>(frames));
    std::uint64_t k = s.frames;
    for (const auto& f : report.frames) {
        FUZZ_CHECK(f.sampling_rate == s.settings.sample_rate, "rate %d", f.sampling_rate);
        FUZZ_CHECK(f.bitrate_kbps == s.settings.bitrate_kbps, "bitrate %d", f.bitrate_kbps);
        FUZZ_CHECK(f.channels == (s.settings.mode == 3 ? 1 : 2), "channels %d", f.channels);
        FUZZ_CHECK(f.copyright == s.copyright && f.original == s.original && f.private_bit == s.private_bit &&
                       f.emphasis == s.emphasis && f.protection_bit == (s.protection ? 0 : 1),
                   "header flags");
        for (std::size_t i = 0; i < s.ancillary; ++i) {
            FUZZ_CHECK(f.ancillary[i] == ancillary_byte(k, i), "ancillary byte %zu of frame %llu", i,
                       static_cast<unsigned long long>(k));
        }
        ++k;
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
    static const int rates[] = {32000, 44100, 48000, 16000, 22050, 24000, 11025, 0};
    static const int kbps[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320,
                               384, 8,  16, 24, 40, 144, 0,  100, 448};
    s.settings.mode = pick(in, modes, 6);
    s.settings.bitrate_kbps = pick(in, kbps, 22);
    s.settings.sample_rate = pick(in, rates, 8);
    const std::uint8_t flags = in.u8();
    if (flags & 1) {
        s.settings.log = count_message;
        s.settings.log_user_data = &s.messages;
    }
    if (flags & 2) {
        FUZZ_CHECK(zuvo_mpa_create(nullptr, nullptr) == nullptr, "create without settings");
    }
    int error = 1;
    int expected = expected_create(s.settings);
    if (flags & 8) {
        // A configuration: the same three settings and the ones only it has.
        zuvo_mpa_config* config = zuvo_mpa_config_new();
        FUZZ_CHECK(config != nullptr, "configuration");
        // A setter refuses a value no stream can have and keeps the default
        // (joint stereo, 192 kbit/s, 44100 Hz); the model follows.
        zuvo_mpa_settings kept = s.settings;
        if (zuvo_mpa_config_set_mode(config, s.settings.mode) != ZUVO_MPA_OK) kept.mode = ZUVO_MPA_JOINT_STEREO;
        if (zuvo_mpa_config_set_bitrate(config, s.settings.bitrate_kbps) != ZUVO_MPA_OK) kept.bitrate_kbps = 192;
        if (zuvo_mpa_config_set_sample_rate(config, s.settings.sample_rate) != ZUVO_MPA_OK) kept.sample_rate = 44100;
        FUZZ_CHECK((kept.mode == s.settings.mode) == (s.settings.mode >= 0 && s.settings.mode <= 3), "mode setter");
        s.settings = kept;
        expected = expected_create(s.settings);
        zuvo_mpa_config_set_log(config, s.settings.log, s.settings.log_user_data);
        const std::uint8_t header = in.u8();
        s.copyright = header & 1, s.original = (header >> 1) & 1, s.private_bit = (header >> 2) & 1;
        s.protection = ((header >> 3) & 1) == 0;
        FUZZ_CHECK(zuvo_mpa_config_set_copyright(config, s.copyright * (header >> 5 | 1)) == ZUVO_MPA_OK, "flag");
        zuvo_mpa_config_set_original(config, s.original);
        zuvo_mpa_config_set_private_bit(config, s.private_bit);
        zuvo_mpa_config_set_error_protection(config, s.protection);
        // Either tuning, and a value that is neither.
        const int tuning = (header >> 4) % 3;
        FUZZ_CHECK(zuvo_mpa_config_set_tuning(config, tuning) == (tuning < 2 ? ZUVO_MPA_OK : ZUVO_MPA_ERROR_BAD_TUNING),
                   "tuning %d", tuning);
        const int emphasis = static_cast<int>(in.u8() % 6) - 1;  // -1 .. 4
        const int set_emphasis = zuvo_mpa_config_set_emphasis(config, emphasis);
        const bool emphasis_ok = emphasis == 0 || emphasis == 1 || emphasis == 3;
        FUZZ_CHECK(set_emphasis == (emphasis_ok ? ZUVO_MPA_OK : ZUVO_MPA_ERROR_BAD_EMPHASIS), "emphasis %d: %d",
                   emphasis, set_emphasis);
        s.emphasis = emphasis_ok ? emphasis : 0;
        const std::size_t most = zuvo_mpa_max_ancillary(s.settings.sample_rate, s.settings.mode,
                                                        s.settings.bitrate_kbps, s.protection);
        const std::uint8_t a = in.u8();
        std::size_t wanted = a < 0x80 ? a % 9 : a < 0xF0 ? most + 1 - a % 3 : in.u32();
        const int set_ancillary = zuvo_mpa_config_set_ancillary(config, wanted, fill_ancillary, &s);
        FUZZ_CHECK(set_ancillary == (wanted < 1728 ? ZUVO_MPA_OK : ZUVO_MPA_ERROR_BAD_ANCILLARY), "ancillary %zu",
                   wanted);
        if (set_ancillary != ZUVO_MPA_OK) wanted = 0;
        if (expected == ZUVO_MPA_OK && wanted > most) expected = ZUVO_MPA_ERROR_BAD_ANCILLARY;
        s.ancillary = expected == ZUVO_MPA_OK ? wanted : 0;
        s.encoder = zuvo_mpa_create_with_config(config, (flags & 4) ? nullptr : &error);
        zuvo_mpa_config_free(config);
    } else {
        s.encoder = zuvo_mpa_create(&s.settings, (flags & 4) ? nullptr : &error);
    }
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
    // 16-bit, float or 32-bit samples, from the input's bytes (any float:
    // NaN, infinities and values far beyond full scale included).
    const std::uint8_t format = in.u8() % 3;
    const std::size_t width = format == 0 ? sizeof(std::int16_t) : 4;
    std::vector<std::uint8_t> pcm((n * static_cast<std::size_t>(channels) + 1) * width);
    in.take(pcm.data(), pcm.size() - width);
    const std::size_t bound = zuvo_mpa_max_output(s.encoder, n);
    const std::size_t capacity = pick_capacity(in, bound);
    std::vector<unsigned char> out(capacity);
    const std::uint8_t missing = in.u8() % 8;
    std::size_t length = 12345;
    const void* samples = (missing == 1 && n > 0) ? nullptr : pcm.data();
    unsigned char* area = capacity > 0 ? out.data() : nullptr;
    std::size_t* written = missing == 2 ? nullptr : &length;
    const int result =
        format == 0   ? zuvo_mpa_encode(s.encoder, static_cast<const std::int16_t*>(samples), n, area, capacity, written)
        : format == 1 ? zuvo_mpa_encode_float(s.encoder, static_cast<const float*>(samples), n, area, capacity, written)
                      : zuvo_mpa_encode_int32(s.encoder, static_cast<const std::int32_t*>(samples), n, area, capacity,
                                              written);
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
    s.filled = 0;
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

    // The format queries with any numbers agree with create's model.
    zuvo_mpa_settings any{};
    any.sample_rate = static_cast<int>(in.u8() < 0x80 ? 16000 + 8000 * (in.u8() % 5) : in.u32());
    any.mode = static_cast<int>(in.u8() % 6) - 1;
    any.bitrate_kbps = static_cast<int>(in.u8() < 0x80 ? 8 * (in.u8() % 50) : in.u32());
    const int check = zuvo_mpa_check_format(any.sample_rate, any.mode, any.bitrate_kbps);
    FUZZ_CHECK(check == expected_create(any), "check_format %d", check);
    int list[16] = {};
    const std::size_t room = in.u8() % 17;
    const std::size_t count = zuvo_mpa_bitrates(any.sample_rate, any.mode, room > 0 ? list : nullptr, room);
    FUZZ_CHECK(count <= 14, "%zu bitrates", count);
    for (std::size_t i = 0; i < count && i < room; ++i) {
        zuvo_mpa_settings listed_one = any;
        listed_one.bitrate_kbps = list[i];
        FUZZ_CHECK(expected_create(listed_one) == ZUVO_MPA_OK, "listed bitrate %d cannot be coded", list[i]);
    }
    const std::size_t bytes = zuvo_mpa_frame_bytes(any.sample_rate, any.bitrate_kbps, in.u8() & 1);
    FUZZ_CHECK(bytes <= 1729, "frame of %zu bytes", bytes);
    FUZZ_CHECK(zuvo_mpa_max_ancillary(any.sample_rate, any.mode, any.bitrate_kbps, in.u8() & 1) < 1728,
               "ancillary room");
    FUZZ_CHECK(zuvo_mpa_default_bitrate(any.sample_rate, any.mode) >= 0, "default bitrate");
    FUZZ_CHECK(zuvo_mpa_config_set_mode(nullptr, 0) == ZUVO_MPA_ERROR_INVALID_ARGUMENT &&
                   zuvo_mpa_config_set_ancillary(nullptr, 1, nullptr, nullptr) == ZUVO_MPA_ERROR_INVALID_ARGUMENT,
               "setters without a configuration");
    int error = 0;
    FUZZ_CHECK(zuvo_mpa_create_with_config(nullptr, &error) == nullptr && error == ZUVO_MPA_ERROR_INVALID_ARGUMENT,
               "create without a configuration");
    zuvo_mpa_config_free(nullptr);
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
