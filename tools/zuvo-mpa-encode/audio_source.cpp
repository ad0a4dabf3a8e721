// The audio sources (see audio_source.h).
#include "audio_source.h"

#include "common.h"
#include "compat.h"
#if defined(ZUVO_HAVE_SOXR)
#  include "resampler.h"
#endif

#if defined(ZUVO_WAV_ONLY)
#  include "wav_sndfile.h"
#else
#  include <sndfile.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace zuvo_tool {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The spool of standard input, removed if a signal ends us.
char g_spool_path[4096] = "";

class SndfileSource : public Source {
public:
    SndfileSource(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
#if !defined(ZUVO_WAV_ONLY)
        const int subtype = info.format & SF_FORMAT_SUBMASK;
        floats_ = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
#endif
        declared_ = info.frames > 0 && info.frames < SF_COUNT_MAX ? info.frames : -1;
        check_declared_length();
    }
    ~SndfileSource() override {
        sf_close(file_);
        if (relay_.joinable()) relay_.join();
    }
    SndfileSource(const SndfileSource&) = delete;
    SndfileSource& operator=(const SndfileSource&) = delete;

    // A thread that feeds the descriptor libsndfile reads (see open_stdin).
    void adopt_relay(std::thread relay) { relay_ = std::move(relay); }

    long read(std::int16_t* samples, long frames) override {
        sf_count_t got = 0;
#if !defined(ZUVO_WAV_ONLY) // the WAV-only reader scales floats this way itself
        if (floats_) {
            // Floating-point samples: 1.0 is full scale. Scaled and clipped
            // here rather than by libsndfile, whose float-to-integer scaling
            // normalizes to the file's peak and would change the level.
            buffer_.resize(static_cast<std::size_t>(frames) * static_cast<std::size_t>(info_.channels));
            got = sf_readf_float(file_, buffer_.data(), frames);
            for (std::size_t i = 0; i < static_cast<std::size_t>(got) * static_cast<std::size_t>(info_.channels); ++i) {
                const double scaled = std::nearbyint(static_cast<double>(buffer_[i]) * 32767.0);
                samples[i] = !(scaled > -32768.0) ? (scaled < 0 ? -32768 : 0)
                                                  : scaled > 32767.0 ? 32767 : static_cast<std::int16_t>(scaled);
            }
        } else
#endif
        {
            got = sf_readf_short(file_, samples, frames);
        }
        if (got < frames && error_.empty() && sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
        return got > 0 ? static_cast<long>(got) : 0;
    }
#if !defined(ZUVO_WAV_ONLY)
    long read_float(float* samples, long frames) override {
        const sf_count_t got = sf_readf_float(file_, samples, frames);
        if (got < frames && error_.empty() && sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
        return got > 0 ? static_cast<long>(got) : 0;
    }
    std::vector<Speaker> layout() const override {
        const int n = info_.channels;
        if (n < 1 || n > kMaxChannels) return {};
        int map[kMaxChannels] = {};
        if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map, static_cast<int>(sizeof(int)) * n) == SF_TRUE) {
            std::vector<Speaker> speakers;
            for (int i = 0; i < n; ++i) speakers.push_back(speaker_of(map[i]));
            return speakers;
        }
        // FLAC fixes the order of up to eight channels; other files without
        // a map say nothing of theirs.
        if ((info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC || n <= 2) return flac_layout(n);
        return {};
    }
#endif
    int channels() const override { return info_.channels; }
    int rate() const override { return info_.samplerate; }
    long long declared_frames() const override { return declared_; }
    std::string error() const override { return error_; }
    Tags tags() const override {
        auto get = [this](int which) {
            const char* text = sf_get_string(file_, which);
            return text ? to_utf8(text) : std::string();
        };
        Tags t;
        t.title = get(SF_STR_TITLE);
        t.artist = get(SF_STR_ARTIST);
        t.album = get(SF_STR_ALBUM);
        t.year = year_prefix(get(SF_STR_DATE));
        t.comment = get(SF_STR_COMMENT);
        return t;
    }

private:
#if !defined(ZUVO_WAV_ONLY)
    static Speaker speaker_of(int channel) {
        switch (channel) {
            case SF_CHANNEL_MAP_MONO:
            case SF_CHANNEL_MAP_CENTER: return Speaker::kFrontCenter;
            case SF_CHANNEL_MAP_LEFT: return Speaker::kFrontLeft;
            case SF_CHANNEL_MAP_RIGHT: return Speaker::kFrontRight;
            case SF_CHANNEL_MAP_LFE: return Speaker::kLowFrequency;
            case SF_CHANNEL_MAP_REAR_LEFT: return Speaker::kBackLeft;
            case SF_CHANNEL_MAP_REAR_RIGHT: return Speaker::kBackRight;
            case SF_CHANNEL_MAP_REAR_CENTER: return Speaker::kBackCenter;
            case SF_CHANNEL_MAP_SIDE_LEFT: return Speaker::kSideLeft;
            case SF_CHANNEL_MAP_SIDE_RIGHT: return Speaker::kSideRight;
            case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: return Speaker::kFrontLeftOfCenter;
            case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: return Speaker::kFrontRightOfCenter;
            default: return Speaker::kUnknown;
        }
    }
#endif

    // libsndfile trims a WAV or AIFF data chunk that claims more bytes than
    // the file holds to what is there, and says so only in its log. The
    // length the header declared is what the user expects to hear.
    void check_declared_length() {
#if !defined(ZUVO_WAV_ONLY)
        char log[8192] = "";
        sf_command(file_, SFC_GET_LOG_INFO, log, sizeof log);
        const std::string text = log;
        const int container = info_.format & SF_FORMAT_TYPEMASK;
        long long declared = -1;
        if (container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX) {
            const std::size_t at = text.find("\ndata : ");
            if (at == std::string::npos) return;
            const std::string line = text.substr(at + 8, text.find('\n', at + 1) - at - 8);
            const long long length = std::atoll(line.c_str());
            const bool corrected = line.find("(should be") != std::string::npos;
            // Streaming writers leave 0 or a huge value for "unknown"; read
            // from a pipe, libsndfile then takes that value at its word.
            if (length == 0 || length >= 0x7FFFF000LL) {
                if (!corrected) declared_ = -1;
                return;
            }
            if (corrected && sample_bytes() > 0) declared = length / (sample_bytes() * info_.channels);
        } else if (container == SF_FORMAT_AIFF) {
            const char* const marker = "from 'COMM' chunk (";
            const std::size_t at = text.find(marker);
            if (at != std::string::npos) declared = std::atoll(text.c_str() + at + std::strlen(marker));
        }
        if (declared > declared_) declared_ = declared;
#endif
    }

    int sample_bytes() const {
#if !defined(ZUVO_WAV_ONLY)
        switch (info_.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: return 1;
            case SF_FORMAT_PCM_16: return 2;
            case SF_FORMAT_PCM_24: return 3;
            case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
            case SF_FORMAT_DOUBLE: return 8;
            default: return 0;
        }
#else
        return 0;
#endif
    }

    SNDFILE* file_;
    SF_INFO info_;
    bool floats_ = false;
    long long declared_ = -1;
    std::string error_;
    std::vector<float> buffer_;
    std::thread relay_;
};

// A source converted to the stream's channels and rate (see convert_source).
class ConvertingSource : public Source {
public:
    ConvertingSource(std::unique_ptr<Source> inner, const ChannelMix& mix, int out_rate)
        : inner_(std::move(inner)), mix_(mix), rate_(out_rate) {}

    bool start_resampler(std::string& error) {
        if (rate_ == inner_->rate()) return true;
#if defined(ZUVO_HAVE_SOXR)
        resampler_ = std::make_unique<Resampler>();
        return resampler_->open(inner_->rate(), rate_, mix_.out_channels, error);
#else
        error = "this build cannot convert sampling rates";
        return false;
#endif
    }

    long read(std::int16_t* samples, long frames) override {
        const std::size_t channels = static_cast<std::size_t>(mix_.out_channels);
        while (ready() < static_cast<std::size_t>(frames) && !ended_) fill();
        const std::size_t n = std::min<std::size_t>(ready(), static_cast<std::size_t>(frames));
        for (std::size_t i = 0; i < n * channels; ++i) {
            const double scaled = std::nearbyint(static_cast<double>(queue_[taken_ + i]) * 32768.0);
            samples[i] = !(scaled > -32768.0) ? std::int16_t{-32768}
                         : scaled > 32767.0   ? std::int16_t{32767}
                                              : static_cast<std::int16_t>(scaled);
        }
        taken_ += n * channels;
        return static_cast<long>(n);
    }
    int channels() const override { return mix_.out_channels; }
    int rate() const override { return rate_; }
    long long declared_frames() const override {
        const long long declared = inner_->declared_frames();
        if (declared < 0) return -1;
        return std::llround(static_cast<double>(declared) * rate_ / inner_->rate());
    }
    std::string error() const override { return inner_->error().empty() ? error_ : inner_->error(); }
    Tags tags() const override { return inner_->tags(); }

private:
    std::size_t ready() const { return (queue_.size() - taken_) / static_cast<std::size_t>(mix_.out_channels); }

    // Reads, mixes and resamples one block onto the queue.
    void fill() {
        if (taken_ > 0) {
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken_));
            taken_ = 0;
        }
        constexpr long kBlock = 4096;
        in_.resize(static_cast<std::size_t>(kBlock) * static_cast<std::size_t>(mix_.in_channels));
        mixed_.resize(static_cast<std::size_t>(kBlock) * static_cast<std::size_t>(mix_.out_channels));
        const long got = inner_->read_float(in_.data(), kBlock);
        if (got > 0) apply_mix(mix_, in_.data(), static_cast<std::size_t>(got), mixed_.data());
        const std::size_t values = static_cast<std::size_t>(got > 0 ? got : 0) * static_cast<std::size_t>(mix_.out_channels);
#if defined(ZUVO_HAVE_SOXR)
        if (resampler_) {
            std::string message;
            const bool ok = got > 0 ? resampler_->process(mixed_.data(), static_cast<std::size_t>(got), queue_, message)
                                    : resampler_->finish(queue_, message);
            if (!ok && error_.empty()) error_ = "resampling failed: " + message;
            if (got <= 0 || !ok) ended_ = true;
            return;
        }
#endif
        queue_.insert(queue_.end(), mixed_.begin(), mixed_.begin() + static_cast<std::ptrdiff_t>(values));
        if (got <= 0) ended_ = true;
    }

    std::unique_ptr<Source> inner_;
    ChannelMix mix_;
    int rate_;
#if defined(ZUVO_HAVE_SOXR)
    std::unique_ptr<Resampler> resampler_;
#endif
    std::vector<float> in_, mixed_, queue_;
    std::size_t taken_ = 0;
    bool ended_ = false;
    std::string error_;
};

class DemoSource : public Source {
public:
    long read(std::int16_t* samples, long frames) override {
        long n = 0;
        for (; n < frames && position_ < kLength; ++n, ++position_) {
            const double t = static_cast<double>(position_) / kRate;
            const int note = static_cast<int>(t / 0.625) % 8;
            static const double semitones[8] = {0, 4, 7, 12, 7, 4, 0, -5};
            const double f = 440.0 * std::pow(2.0, semitones[note] / 12.0);
            const double within = std::fmod(t, 0.625);
            const double envelope = std::min(1.0, within / 0.01) * std::exp(-3.0 * within);
            const double drone = 0.08 * std::sin(kTwoPi * 110.0 * t);
            const double left = drone + 0.45 * envelope * std::sin(kTwoPi * f * t);
            const double right = drone + 0.35 * envelope * std::sin(kTwoPi * f * 1.5 * t);
            samples[2 * n] = static_cast<std::int16_t>(std::lround(left * 32767.0));
            samples[2 * n + 1] = static_cast<std::int16_t>(std::lround(right * 32767.0));
        }
        return n;
    }
    int channels() const override { return 2; }
    int rate() const override { return kRate; }
    long long declared_frames() const override { return kLength; }

private:
    static constexpr int kRate = 44100;
    static constexpr long kLength = 5L * kRate;
    long position_ = 0;
};

#if defined(ZUVO_WAV_ONLY)
std::unique_ptr<SndfileSource> open_stdin(std::string& message) {
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
    if (!file) {
        message = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(file, info);
}
#else
bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

std::unique_ptr<SndfileSource> open_stdin(std::string& message) {
    SF_INFO info{};
    if (lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0) {
        SNDFILE* file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
        if (!file) {
            message = sf_strerror(nullptr);
            return nullptr;
        }
        return std::make_unique<SndfileSource>(file, info);
    }
    // What the stream starts with decides.
    std::vector<unsigned char> head(12);
    std::size_t have = 0;
    while (have < head.size()) {
        const ssize_t got = ::read(STDIN_FILENO, head.data() + have, head.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            message = describe_errno(errno);
            return nullptr;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    head.resize(have);
    auto starts = [&head](std::size_t at, const char* tag) {
        return head.size() >= at + 4 && std::memcmp(head.data() + at, tag, 4) == 0;
    };
    const bool streams = (starts(0, "RIFF") && starts(8, "WAVE")) ||
                         (starts(0, "FORM") && (starts(8, "AIFF") || starts(8, "AIFC"))) || starts(0, ".snd");
    if (streams) {
        // The bytes already taken go first, then the rest of the pipe.
        int ends[2];
        if (pipe(ends) != 0) {
            message = describe_errno(errno);
            return nullptr;
        }
        std::thread relay([head, to = ends[1]]() {
            std::vector<unsigned char> block(65536);
            bool ok = write_all(to, head.data(), head.size());
            while (ok) {
                const ssize_t got = ::read(STDIN_FILENO, block.data(), block.size());
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                ok = write_all(to, block.data(), static_cast<std::size_t>(got));
            }
            close(to);
        });
        SNDFILE* file = sf_open_fd(ends[0], SFM_READ, &info, SF_TRUE);
        if (!file) {
            message = sf_strerror(nullptr);
            close(ends[0]); // ends the relay, whose writes now fail
            relay.join();
            return nullptr;
        }
        auto source = std::make_unique<SndfileSource>(file, info);
        source->adopt_relay(std::move(relay));
        return source;
    }

    const char* tmpdir = std::getenv("TMPDIR");
    std::string spool = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zuvo-mpa-encode-stdin.XXXXXX";
    const int fd = make_temp_file(spool, 0);
    if (fd < 0) {
        message =
            "cannot make a temporary copy in '" + spool.substr(0, spool.rfind('/')) + "': " + describe_errno(errno);
        return nullptr;
    }
    if (spool.size() < sizeof g_spool_path) std::memcpy(g_spool_path, spool.c_str(), spool.size() + 1);
    auto forget = [&spool]() {
        unlink(spool.c_str());
        g_spool_path[0] = '\0';
    };
    std::vector<unsigned char> block(65536);
    bool ok = write_all(fd, head.data(), head.size());
    while (ok) {
        const ssize_t got = ::read(STDIN_FILENO, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            message = describe_errno(errno);
            close(fd);
            forget();
            return nullptr;
        }
        if (got == 0) break;
        ok = write_all(fd, block.data(), static_cast<std::size_t>(got));
    }
    if (!ok || close(fd) != 0) {
        message = "cannot make a temporary copy in '" + spool + "': " + describe_errno(errno);
        if (ok) close(fd);
        forget();
        return nullptr;
    }
    SNDFILE* file = sf_open(spool.c_str(), SFM_READ, &info);
    forget(); // libsndfile holds it open; the name is no longer needed
    if (!file) {
        message = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(file, info);
}
#endif

} // namespace

std::unique_ptr<Source> open_input(const std::string& path, std::string& message) {
    if (path == "-") {
        if (stdin_is_terminal()) {
            message = "it is a terminal, not audio";
            return nullptr;
        }
        return open_stdin(message);
    }
    SF_INFO info{};
    SNDFILE* handle = sf_open(path.c_str(), SFM_READ, &info);
    if (!handle) {
        message = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(handle, info);
}

std::unique_ptr<Source> make_demo_source() { return std::make_unique<DemoSource>(); }

void remove_stdin_spool() {
    if (g_spool_path[0] != '\0') unlink(g_spool_path);
}

long Source::read_float(float* samples, long frames) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels()));
    const long got = read(pcm.data(), frames);
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) * static_cast<std::size_t>(channels()); ++i) {
        samples[i] = static_cast<float>(pcm[i]) / 32768.0f;
    }
    return got;
}

std::unique_ptr<Source> convert_source(std::unique_ptr<Source> inner, int out_channels, int out_rate,
                                       const std::string& rule, Conversion& done, std::string& error) {
    const int in_channels = inner->channels();
    ChannelMix mix;
    if (rule == "mean" && in_channels > 2) {
        mix = mean_mix(in_channels, out_channels);
    } else {
        std::vector<Speaker> layout = inner->layout();
        if (layout.empty() && in_channels <= 2) layout = flac_layout(in_channels);
        if (layout.empty() && rule == "smpte") layout = smpte_layout(in_channels);
        if (layout.empty()) {
            error = std::to_string(in_channels) +
                    " channels of an unknown layout; name a rule with --downmix smpte or --downmix mean";
            return nullptr;
        }
        if (!make_channel_mix(layout, out_channels, mix, error)) return nullptr;
    }
    std::string notes = mix.description;
    const int in_rate = inner->rate();
    auto converted = std::make_unique<ConvertingSource>(std::move(inner), mix, out_rate);
    if (!converted->start_resampler(error)) return nullptr;
    if (in_rate != out_rate) {
        notes += (notes.empty() ? "" : "; ") + std::string("resampled from ") + std::to_string(in_rate) + " Hz to " +
                 std::to_string(out_rate) + " Hz (libsoxr, very high quality)";
    }
    done.description = notes;
    return converted;
}

void convert_channels(const std::int16_t* in, int in_channels, std::int16_t* out, int out_channels, long frames) {
    for (long i = 0; i < frames; ++i) {
        const std::int16_t* s = &in[i * in_channels];
        std::int16_t* to = &out[i * out_channels];
        if (out_channels == 1) {
            to[0] = in_channels == 1 ? s[0] : static_cast<std::int16_t>((int{s[0]} + int{s[1]}) / 2);
        } else {
            to[0] = s[0];
            to[1] = in_channels == 1 ? s[0] : s[1];
        }
    }
}

} // namespace zuvo_tool
