// WAV-only stand-in for the part of libsndfile's interface that
// zuvo-mpa-encode uses, for builds that have no libsndfile (the Windows
// cross-build). Selected with ZUVO_WAV_ONLY in place of <sndfile.h>.
//
// Reads RIFF WAVE files, plain or WAVE_FORMAT_EXTENSIBLE, holding integer PCM
// of 8, 16, 24 or 32 bits or IEEE floats of 32 or 64 bits, from a file or a
// pipe. Samples come out as 16-bit integers the way libsndfile delivers them:
// wider integers keep their top 16 bits, floats are scaled by 32767 and
// clipped. Anything else is refused with an error message.
#pragma once

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#else
#  include <unistd.h>
#endif

typedef std::int64_t sf_count_t;
#define SF_COUNT_MAX INT64_MAX

enum { SFM_READ = 0x10 };
enum { SF_FALSE = 0, SF_TRUE = 1 };
enum { SFC_SET_CLIPPING = 0x10C0 };
enum { SF_STR_TITLE = 0x01, SF_STR_COPYRIGHT = 0x02, SF_STR_SOFTWARE = 0x03, SF_STR_ARTIST = 0x04,
       SF_STR_COMMENT = 0x05, SF_STR_DATE = 0x06, SF_STR_ALBUM = 0x07 };
enum {
    SF_ERR_NO_ERROR = 0,
    SF_ERR_UNRECOGNISED_FORMAT = 1,
    SF_ERR_SYSTEM = 2,
    SF_ERR_MALFORMED_FILE = 3,
    SF_ERR_UNSUPPORTED_ENCODING = 4,
};

struct SF_INFO {
    sf_count_t frames;  // SF_COUNT_MAX when the length is not known (a pipe)
    int samplerate;
    int channels;
    int format;
    int sections;
    int seekable;
};

struct SNDFILE {
    std::FILE* file = nullptr;
    bool close_file = true;
    int error = SF_ERR_NO_ERROR;
    bool is_float = false;
    int bytes_per_sample = 0;
    int channels = 0;
    sf_count_t data_left = 0;  // bytes of sample data still to read; SF_COUNT_MAX: until the end
    std::vector<unsigned char> buffer;
};

namespace zuvo_wav {

inline int& last_open_error() {
    static int error = SF_ERR_NO_ERROR;
    return error;
}

inline std::uint32_t le16(const unsigned char* p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }
inline std::uint32_t le32(const unsigned char* p) {
    return le16(p) | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline bool read_exactly(std::FILE* file, unsigned char* bytes, std::size_t length) {
    return std::fread(bytes, 1, length, file) == length;
}

// Skips by reading, so that pipes work too.
inline bool skip(std::FILE* file, std::uint64_t length) {
    unsigned char scratch[4096];
    while (length > 0) {
        const std::size_t step = length < sizeof scratch ? static_cast<std::size_t>(length) : sizeof scratch;
        if (!read_exactly(file, scratch, step)) return false;
        length -= step;
    }
    return true;
}

// Reads the header up to the first byte of sample data and fills `info`.
// Returns an error code.
inline int read_header(SNDFILE& sound, SF_INFO& info, bool seekable) {
    unsigned char riff[12];
    if (!read_exactly(sound.file, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return SF_ERR_UNRECOGNISED_FORMAT;
    }
    bool have_format = false;
    int bits = 0, block_align = 0;
    std::uint32_t format_tag = 0;
    std::uint32_t data_size = 0;
    for (;;) {
        unsigned char chunk[8];
        if (!read_exactly(sound.file, chunk, sizeof chunk)) return SF_ERR_MALFORMED_FILE;
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            data_size = size;
            break;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[64];
            if (size < 16 || size > sizeof fmt) return SF_ERR_MALFORMED_FILE;
            if (!read_exactly(sound.file, fmt, size + (size & 1u))) return SF_ERR_MALFORMED_FILE;
            format_tag = le16(fmt);
            info.channels = static_cast<int>(le16(fmt + 2));
            info.samplerate = static_cast<int>(le32(fmt + 4));
            block_align = static_cast<int>(le16(fmt + 12));
            bits = static_cast<int>(le16(fmt + 14));
            if (format_tag == 0xFFFE) {  // WAVE_FORMAT_EXTENSIBLE: the sub-format GUID starts with the tag
                if (size < 40) return SF_ERR_MALFORMED_FILE;
                format_tag = le16(fmt + 24);
            }
            have_format = true;
        } else if (!skip(sound.file, static_cast<std::uint64_t>(size) + (size & 1u))) {
            return SF_ERR_MALFORMED_FILE;
        }
    }
    if (!have_format || info.channels <= 0 || info.samplerate <= 0) return SF_ERR_MALFORMED_FILE;

    const bool integer = format_tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool floating = format_tag == 3 && (bits == 32 || bits == 64);
    if (!integer && !floating) return SF_ERR_UNSUPPORTED_ENCODING;
    sound.is_float = floating;
    sound.bytes_per_sample = bits / 8;
    sound.channels = info.channels;
    if (block_align != sound.bytes_per_sample * info.channels) return SF_ERR_MALFORMED_FILE;

    // Writers that stream often leave the sizes at 0 or at their largest value.
    const bool size_unknown = data_size == 0 || data_size == 0xFFFFFFFFu;
    sound.data_left = size_unknown ? SF_COUNT_MAX : static_cast<sf_count_t>(data_size);
    info.frames = size_unknown || !seekable ? SF_COUNT_MAX : static_cast<sf_count_t>(data_size / block_align);
    info.format = 0x010000 | (floating ? (bits == 32 ? 0x0006 : 0x0007) : bits / 8);  // SF_FORMAT_WAV | subtype
    info.sections = 1;
    info.seekable = seekable ? SF_TRUE : SF_FALSE;
    return SF_ERR_NO_ERROR;
}

inline SNDFILE* open_stream(std::FILE* file, bool close_file, SF_INFO* info, bool seekable) {
    if (file == nullptr || info == nullptr) {
        if (file != nullptr && close_file) std::fclose(file);
        last_open_error() = SF_ERR_SYSTEM;
        return nullptr;
    }
    SNDFILE* sound = new (std::nothrow) SNDFILE;
    if (sound == nullptr) {
        if (close_file) std::fclose(file);
        last_open_error() = SF_ERR_SYSTEM;
        return nullptr;
    }
    sound->file = file;
    sound->close_file = close_file;
    *info = SF_INFO{};
    const int error = read_header(*sound, *info, seekable);
    last_open_error() = error;
    if (error != SF_ERR_NO_ERROR) {
        if (close_file) std::fclose(file);
        delete sound;
        return nullptr;
    }
    return sound;
}

inline short clip16(double value) {
    const double scaled = std::nearbyint(value * 32767.0);
    if (!(scaled > -32768.0)) return scaled < 0 ? -32768 : 0;  // also NaN
    return scaled > 32767.0 ? 32767 : static_cast<short>(scaled);
}

}  // namespace zuvo_wav

inline SNDFILE* sf_open(const char* path, int mode, SF_INFO* info) {
    if (mode != SFM_READ || path == nullptr) {
        zuvo_wav::last_open_error() = SF_ERR_SYSTEM;
        return nullptr;
    }
    return zuvo_wav::open_stream(std::fopen(path, "rb"), true, info, true);
}

inline SNDFILE* sf_open_fd(int fd, int mode, SF_INFO* info, int close_desc) {
    if (mode != SFM_READ) {
        zuvo_wav::last_open_error() = SF_ERR_SYSTEM;
        return nullptr;
    }
#if defined(_WIN32)
    _setmode(fd, _O_BINARY);
    const int own = close_desc ? fd : _dup(fd);
    std::FILE* file = own < 0 ? nullptr : _fdopen(own, "rb");
#else
    const int own = close_desc ? fd : dup(fd);
    std::FILE* file = own < 0 ? nullptr : fdopen(own, "rb");
#endif
    // Whether the descriptor can seek is the caller's business; frames are
    // counted only for files opened by name.
    return zuvo_wav::open_stream(file, true, info, false);
}

// Reads up to `frames` frames of interleaved samples; returns the number read.
inline sf_count_t sf_readf_short(SNDFILE* sound, short* samples, sf_count_t frames) {
    if (sound == nullptr || samples == nullptr || frames <= 0) return 0;
    const std::size_t frame_bytes = static_cast<std::size_t>(sound->bytes_per_sample * sound->channels);
    sf_count_t want = frames;
    if (sound->data_left != SF_COUNT_MAX && want > sound->data_left / static_cast<sf_count_t>(frame_bytes)) {
        want = sound->data_left / static_cast<sf_count_t>(frame_bytes);
    }
    sf_count_t done = 0;
    while (done < want) {
        const sf_count_t step = want - done < 4096 ? want - done : 4096;
        sound->buffer.resize(static_cast<std::size_t>(step) * frame_bytes);
        const std::size_t got = std::fread(sound->buffer.data(), frame_bytes, static_cast<std::size_t>(step),
                                           sound->file);
        if (got == 0 && std::ferror(sound->file)) sound->error = SF_ERR_SYSTEM;
        const unsigned char* in = sound->buffer.data();
        short* out = samples + done * sound->channels;
        for (std::size_t i = 0; i < got * static_cast<std::size_t>(sound->channels); ++i, in += sound->bytes_per_sample) {
            if (sound->is_float) {
                if (sound->bytes_per_sample == 4) {
                    const std::uint32_t bits = zuvo_wav::le32(in);
                    float value;
                    std::memcpy(&value, &bits, sizeof value);
                    out[i] = zuvo_wav::clip16(value);
                } else {
                    const std::uint64_t bits = zuvo_wav::le32(in) | static_cast<std::uint64_t>(zuvo_wav::le32(in + 4)) << 32;
                    double value;
                    std::memcpy(&value, &bits, sizeof value);
                    out[i] = zuvo_wav::clip16(value);
                }
            } else if (sound->bytes_per_sample == 1) {
                out[i] = static_cast<short>((static_cast<int>(in[0]) - 128) * 256);
            } else {
                // The two most significant bytes of a little-endian sample.
                const unsigned char* top = in + sound->bytes_per_sample - 2;
                out[i] = static_cast<short>(static_cast<std::int16_t>(zuvo_wav::le16(top)));
            }
        }
        done += static_cast<sf_count_t>(got);
        if (sound->data_left != SF_COUNT_MAX) sound->data_left -= static_cast<sf_count_t>(got * frame_bytes);
        if (got < static_cast<std::size_t>(step)) break;
    }
    return done;
}

inline int sf_command(SNDFILE*, int, void*, int) { return SF_TRUE; }  // clipping is always on

// Text chunks are not read: --copy-tags finds nothing in this build.
inline const char* sf_get_string(SNDFILE*, int) { return nullptr; }

inline int sf_error(SNDFILE* sound) { return sound == nullptr ? zuvo_wav::last_open_error() : sound->error; }

inline const char* sf_strerror(SNDFILE* sound) {
    switch (sf_error(sound)) {
        case SF_ERR_NO_ERROR: return "No Error.";
        case SF_ERR_UNRECOGNISED_FORMAT: return "Format not recognised (this build reads WAV files only).";
        case SF_ERR_SYSTEM: return std::strerror(errno);
        case SF_ERR_MALFORMED_FILE: return "Supported file format but file is malformed.";
        default: return "Unsupported encoding (WAV with 8 to 32-bit integer or 32/64-bit float samples only).";
    }
}

inline int sf_close(SNDFILE* sound) {
    if (sound == nullptr) return 0;
    if (sound->close_file && sound->file != nullptr) std::fclose(sound->file);
    delete sound;
    return 0;
}
