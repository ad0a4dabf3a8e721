// soak — a long run through the public functions: hours of synthetic audio in
// several configurations at once, handed over in buffers of ever-changing,
// often odd sizes. It checks what only a long run shows:
//   - resident memory stays flat (read at the start, the middle and the end);
//   - the average frame length equals the nominal bitrate: over the whole run
//     the stream is within one byte of bytes = frames x 144000 x kbit/s / rate,
//     so the padding never drifts;
//   - every stream has exactly floor(samples / 1152) frames, each starting
//     with FF FC and as long as its header says;
//   - no call writes more than ZuvoMaxOutputBytes promised;
//   - no temporary file is left (TMPDIR points at a fresh directory).
// One extra context is reconfigured and recreated over and over, so that
// stream set-up and teardown are part of the run.
//
// Usage: soak [--hours H]     hours of audio over all streams (default 3)
// Prints its figures; exit status 0 when every check held.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
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

#define CHECK(condition, ...)                                         \
    do {                                                              \
        if (!(condition)) {                                           \
            if (failures < 20) {                                      \
                std::fprintf(stderr, "soak: check failed: %s: ", #condition); \
                std::fprintf(stderr, __VA_ARGS__);                    \
                std::fprintf(stderr, "\n");                           \
            }                                                         \
            ++failures;                                               \
        }                                                             \
    } while (0)

int kbps_of(int header_index) {
    static const int table[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    return table[header_index];
}
int rate_of(int sampling_index) {
    static const int table[3] = {44100, 48000, 32000};
    return table[sampling_index];
}

// The encoder's rate table holds kHz in single precision.
float khz_of(int rate) { return rate == 44100 ? 44.1f : rate == 48000 ? 48.0f : 32.0f; }

struct Lcg {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
};

// Buffer sizes: mostly odd and small, some around whole frames, some large.
std::size_t next_size(Lcg& rng) {
    const std::uint32_t r = rng.next();
    switch (r % 10) {
    case 0: case 1: case 2: return 1 + (r >> 8) % 600;
    case 3: case 4: case 5: case 6: return 600 + (r >> 8) % 8400;
    case 7: case 8: return 4608 * (1 + (r >> 8) % 4) + (r >> 16) % 7 - 3;
    default: return 9000 + (r >> 8) % 51000;
    }
}

// A few seconds of synthetic audio (tones, a sweep, noise, a burst of full
// scale), repeated; its length is no multiple of a frame.
std::vector<char> make_loop(int channels, int rate, unsigned seed) {
    const std::size_t samples = static_cast<std::size_t>(rate) * 37 / 10 + 123;
    std::vector<char> pcm(samples * static_cast<std::size_t>(channels) * 2);
    Lcg rng{seed};
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (int ch = 0; ch < channels; ++ch) {
            double v = 8000.0 * std::sin(2 * M_PI * (220.0 + 110.0 * ch + 40.0 * seed) * t) +
                       5000.0 * std::sin(2 * M_PI * (300.0 + 4000.0 * t) * t) +
                       static_cast<double>(static_cast<int>(rng.next() % 4001) - 2000);
            if (i % (static_cast<std::size_t>(rate) / 2) < 300) v = (i / 7) % 2 ? 32767 : -32768;
            if (v > 32767) v = 32767;
            if (v < -32768) v = -32768;
            const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v)));
            const std::size_t at = (i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch)) * 2;
            pcm[at] = static_cast<char>(s & 0xFF);
            pcm[at + 1] = static_cast<char>(s >> 8);
        }
    }
    return pcm;
}

struct Stream {
    Stream(const char* name_, int mode_, int bitrate_index_, int rate_, std::uint64_t samples_per_restart_ = 0)
        : name(name_), mode(mode_), bitrate_index(bitrate_index_), rate(rate_),
          samples_per_restart(samples_per_restart_) {}

    const char* name;
    int mode, bitrate_index, rate;
    std::uint64_t samples_per_restart;  // 0: one stream for the whole run; else reconfigure after this many

    void* handle = nullptr;
    std::vector<char> loop;
    std::size_t loop_at = 0;
    Lcg rng{1};
    int header_index = 0;

    // Totals over the whole run and over the current stream.
    std::uint64_t bytes_fed = 0;  // PCM bytes
    std::uint64_t stream_bytes_fed = 0;
    std::uint64_t stream_frames = 0;
    std::uint64_t stream_out = 0;
    std::uint64_t frames = 0;
    std::uint64_t out_bytes = 0;
    std::uint64_t calls = 0;
    std::uint64_t restarts = 0;
    std::uint64_t padded = 0;
    double worst_drift = 0.0;          // bytes off the nominal bitrate, over every completed stream
    double worst_padding_drift = 0.0;  // bytes off the encoder's own frame length

    int channels() const { return mode == 3 ? 1 : 2; }
    std::uint64_t frame_input() const { return mode == 3 ? 2304 : 4608; }

    void start() {
        if (handle == nullptr) handle = ZuvoCreateAudioContext();
        ZuvoMPAEncoderParams p{mode, bitrate_index, rate};
        CHECK(ZuvoInitAudioEncoder(handle, &p) == 1, "%s: init", name);
        static const int mono_map[15] = {1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        header_index = mode == 3 ? mono_map[bitrate_index] : bitrate_index;
        stream_bytes_fed = stream_frames = stream_out = 0;
    }

    // Checks the stream just ended: frame count and average length.
    void end() {
        const std::uint64_t expected_frames = stream_bytes_fed / frame_input();
        CHECK(stream_frames == expected_frames, "%s: %llu frames, expected %llu", name,
              static_cast<unsigned long long>(stream_frames), static_cast<unsigned long long>(expected_frames));
        const double frames_d = static_cast<double>(stream_frames);
        // Against the nominal bitrate: within one frame over the whole stream.
        const double nominal = 144000.0 * kbps_of(header_index) / rate;
        const double drift = static_cast<double>(stream_out) - frames_d * nominal;
        if (std::fabs(drift) > std::fabs(worst_drift)) worst_drift = drift;
        CHECK(std::fabs(drift) < nominal + 1.0, "%s: stream is %.4f bytes off the nominal bitrate after %llu frames",
              name, drift, static_cast<unsigned long long>(stream_frames));
        // Against the frame length the encoder aims at, from its single-precision
        // rate table (44.1 kHz is 44.099998474 kHz there): within one byte, so
        // the padding decisions themselves never drift.
        const double aimed = kbps_of(header_index) / 8.0 * (1152.0 / static_cast<double>(khz_of(rate)));
        const double padding_drift = static_cast<double>(stream_out) - frames_d * aimed;
        if (std::fabs(padding_drift) > std::fabs(worst_padding_drift)) worst_padding_drift = padding_drift;
        CHECK(std::fabs(padding_drift) < 1.0, "%s: padding drifted %.4f bytes after %llu frames", name, padding_drift,
              static_cast<unsigned long long>(stream_frames));
    }

    void finish() {
        CHECK(ZuvoFinishAudio(handle) == 1, "%s: finish", name);
        end();
    }

    // One buffer of the next `size` bytes of the loop.
    void feed(std::size_t size, std::vector<char>& buffer, std::vector<unsigned char>& out) {
        buffer.resize(size);
        for (std::size_t i = 0; i < size;) {
            const std::size_t n = std::min(size - i, loop.size() - loop_at);
            std::memcpy(buffer.data() + i, loop.data() + loop_at, n);
            i += n;
            loop_at = (loop_at + n) % loop.size();
        }
        wavehdr_tag header{};
        header.lpData = buffer.data();
        header.dwBufferLength = static_cast<std::uint32_t>(size);
        const int bound = ZuvoMaxOutputBytes(handle, header.dwBufferLength);
        if (out.size() < static_cast<std::size_t>(bound) + 1) out.resize(static_cast<std::size_t>(bound) + 1);
        int length = -1;
        CHECK(ZuvoCompressAudioFrame(handle, &header, out.data(), &length) == 1, "%s: compress", name);
        CHECK(length >= 0 && length <= bound, "%s: %d bytes, bound %d", name, length, bound);
        ++calls;
        bytes_fed += size;
        stream_bytes_fed += size;
        if (length <= 0) return;
        // Walk the frames.
        std::size_t at = 0;
        while (at + 4 <= static_cast<std::size_t>(length)) {
            const unsigned char* h = out.data() + at;
            if (!(h[0] == 0xFF && h[1] == 0xFC)) {
                CHECK(false, "%s: no sync word at output byte %zu of a call", name, at);
                return;
            }
            const int index = h[2] >> 4;
            const int sampling = (h[2] >> 2) & 3;
            const int padding = (h[2] >> 1) & 1;
            CHECK(index == header_index && sampling < 3 && rate_of(sampling) == rate, "%s: header %02x %02x %02x",
                  name, h[0], h[1], h[2]);
            if (sampling >= 3 || index == 0 || index == 15) return;
            const std::size_t frame = static_cast<std::size_t>(144000 * kbps_of(index) / rate_of(sampling) + padding);
            at += frame;
            ++frames;
            ++stream_frames;
            padded += static_cast<std::uint64_t>(padding);
        }
        CHECK(at == static_cast<std::size_t>(length), "%s: output is not whole frames", name);
        out_bytes += static_cast<std::uint64_t>(length);
        stream_out += static_cast<std::uint64_t>(length);
    }
};

std::uint64_t rss_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
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

}  // namespace

int main(int argc, char** argv) {
    double hours = 3.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hours") == 0 && i + 1 < argc) {
            hours = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: soak [--hours H]\n");
            return 2;
        }
    }
    if (!(hours > 0.0)) {
        std::fprintf(stderr, "soak: --hours must be positive\n");
        return 2;
    }

    const std::string temp_dir = make_fresh_tmpdir("zuvo-soak");
    if (temp_dir.empty()) {
        std::perror("soak: mkdtemp");
        return 2;
    }

    // Each stream gets an equal share of the audio; the reconfigured one
    // starts a new stream every 61 s of audio and a new context every tenth time.
    std::vector<Stream> streams = {
        {"stereo 44.1 kHz 192 kbit/s", 0, 10, 44100},
        {"joint stereo 44.1 kHz 128 kbit/s", 1, 8, 44100},
        {"single channel 44.1 kHz 96 kbit/s", 3, 10, 44100},
        {"dual channel 48 kHz 384 kbit/s", 2, 14, 48000},
        {"stereo 44.1 kHz 32 kbit/s", 0, 1, 44100},
        {"joint stereo 32 kHz 224 kbit/s, restarted", 1, 11, 32000, 32000ull * 61},
    };
    const double seconds_each = hours * 3600.0 / static_cast<double>(streams.size());
    std::vector<std::uint64_t> target(streams.size());
    for (std::size_t i = 0; i < streams.size(); ++i) {
        Stream& s = streams[i];
        s.loop = make_loop(s.channels(), s.rate, static_cast<unsigned>(i + 1));
        s.rng = Lcg{1000 + i};
        target[i] = static_cast<std::uint64_t>(seconds_each * s.rate) * s.frame_input() / 1152;  // PCM bytes
        target[i] += 1 + i * 777;  // never a whole number of frames
        s.start();
    }

    std::vector<char> buffer;
    std::vector<unsigned char> out;
    const auto t0 = std::chrono::steady_clock::now();
    std::uint64_t rss_start = 0, rss_middle = 0, rss_end = 0;
    std::uint64_t total_target = 0, total_fed = 0;
    for (auto t : target) total_target += t;
    bool middle_taken = false;
    bool start_taken = false;
    for (bool busy = true; busy;) {
        busy = false;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            Stream& s = streams[i];
            if (s.bytes_fed >= target[i]) continue;
            busy = true;
            std::size_t size = next_size(s.rng);
            if (s.bytes_fed + size > target[i]) size = static_cast<std::size_t>(target[i] - s.bytes_fed);
            s.feed(size, buffer, out);
            total_fed += size;
            if (s.samples_per_restart != 0 &&
                s.stream_bytes_fed >= s.samples_per_restart * static_cast<std::uint64_t>(s.channels()) * 2) {
                s.finish();
                ++s.restarts;
                if (s.restarts % 10 == 0) {
                    ZuvoDeleteAudioContext(s.handle);
                    s.handle = nullptr;
                }
                s.start();
            }
        }
        // Memory after the first minutes of audio, when every buffer has reached its size.
        if (!start_taken && total_fed * 50 >= total_target) {
            rss_start = rss_bytes();
            start_taken = true;
        }
        if (!middle_taken && total_fed * 2 >= total_target) {
            rss_middle = rss_bytes();
            middle_taken = true;
        }
    }
    rss_end = rss_bytes();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::uint64_t all_frames = 0;
    double audio_seconds = 0.0;
    std::printf("soak: %.2f hours of audio in %zu streams\n", hours, streams.size());
    for (Stream& s : streams) {
        s.finish();
        ZuvoDeleteAudioContext(s.handle);
        const double seconds = static_cast<double>(s.bytes_fed) / (2.0 * s.channels()) / s.rate;
        audio_seconds += seconds;
        all_frames += s.frames;
        const double mean = s.frames ? static_cast<double>(s.out_bytes) / static_cast<double>(s.frames) : 0.0;
        const double nominal = 144000.0 * kbps_of(s.header_index) / s.rate;
        const double coded_seconds = static_cast<double>(s.frames) * 1152.0 / s.rate;
        std::printf("  %-42s %8.1f s audio, %7llu frames (%llu calls, %llu padded, %llu restarts)\n", s.name, seconds,
                    static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.calls),
                    static_cast<unsigned long long>(s.padded), static_cast<unsigned long long>(s.restarts));
        std::printf("  %-42s mean frame %.6f bytes, nominal %.6f; %.3f kbit/s over the coded time "
                    "(nominal %d)\n",
                    "", mean, nominal, static_cast<double>(s.out_bytes) * 8.0 / coded_seconds / 1000.0,
                    kbps_of(s.header_index));
        std::printf("  %-42s bytes minus frames x nominal: %+.4f; minus frames x the encoder's own length: %+.4f\n",
                    "", s.worst_drift, s.worst_padding_drift);
    }
    const std::size_t left = entries_in(temp_dir);
    CHECK(left == 0, "%zu files left in %s", left, temp_dir.c_str());
    if (left == 0) rmdir(temp_dir.c_str());

    const double mib = 1024.0 * 1024.0;
    std::printf("soak: %llu frames, %.1f s of audio in %.1f s wall time (%.0fx real time)\n",
                static_cast<unsigned long long>(all_frames), audio_seconds, wall, audio_seconds / wall);
    std::printf("soak: resident memory start %.2f MiB, middle %.2f MiB, end %.2f MiB\n", rss_start / mib,
                rss_middle / mib, rss_end / mib);
    // Flat: nothing grows with the amount of audio. Allow allocator noise.
    CHECK(rss_end <= rss_start + 2 * 1024 * 1024, "resident memory grew from %.2f to %.2f MiB", rss_start / mib,
          rss_end / mib);
    CHECK(rss_end <= rss_middle + 1024 * 1024, "resident memory grew from %.2f to %.2f MiB in the second half",
          rss_middle / mib, rss_end / mib);
    std::printf("soak: temporary directory %s\n", left == 0 ? "left empty" : "NOT EMPTY");
    std::printf("soak: %s\n", failures == 0 ? "all checks held" : "FAILED");
    return failures == 0 ? 0 : 1;
}
