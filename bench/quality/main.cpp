// zuvo-quality-meter — total noise-to-mask ratio and companions of a decoded
// file against its original (method: quality_meter.h).
//
// Usage: zuvo-quality-meter [--bands] [--delay N | --search [--expect N]] ORIGINAL.wav DECODED.wav
//   --bands    also print each band's highest frequency and mean NMR, one per line
//   --delay N  drop the first N samples of DECODED (this codec: 481)
//   --search   find the lag in 0..3000 by cross-correlation (the default)
//   --expect N with the search: take N (a codec's known delay) wherever it
//              correlates as well as the lag found, as on periodic material
// Prints one line:
//   nmr_db=... frames_over_mask=... snr_db=... bandwidth_hz=... lag=...
// Exit status 0 on success, 2 on bad usage or unreadable/mismatched input.
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "quality_meter.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "zuvo-quality-meter: %s\n", message.c_str());
    return 2;
}

bool read_audio(const char* path, zuvo::quality::Audio& audio, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        error = std::string(path) + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels != 1 && info.channels != 2) {
        sf_close(file);
        error = std::string(path) + ": " + std::to_string(info.channels) + " channels (mono or stereo only)";
        return false;
    }
    std::vector<double> interleaved(static_cast<std::size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_double(file, interleaved.data(), info.frames);
    sf_close(file);
    audio.rate = info.samplerate;
    audio.channels.assign(info.channels, std::vector<double>(static_cast<std::size_t>(got)));
    for (sf_count_t n = 0; n < got; ++n)
        for (int c = 0; c < info.channels; ++c)
            audio.channels[c][n] = interleaved[static_cast<std::size_t>(n) * info.channels + c];
    return true;
}

// A whole sample count from 0 to `most`, written as nothing but digits.
bool parse_count(const char* text, long most, int& count) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > most) return false;
    count = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage =
        "usage: zuvo-quality-meter [--bands] [--delay N | --search [--expect N]] ORIGINAL.wav DECODED.wav";
    int delay = -1;  // -1: search
    int arg = 1;
    bool bands = false;
    if (arg < argc && std::string(argv[arg]) == "--bands") {
        bands = true;
        ++arg;
    }
    int expected = -1;
    if (arg < argc && std::string(argv[arg]) == "--search") {
        ++arg;
        if (arg < argc && std::string(argv[arg]) == "--expect") {
            if (arg + 1 >= argc) return fail(usage);
            if (!parse_count(argv[arg + 1], 3000, expected)) return fail("--expect wants a sample count from 0 to 3000");
            arg += 2;
        }
    } else if (arg < argc && std::string(argv[arg]) == "--delay") {
        if (arg + 1 >= argc) return fail(usage);
        if (!parse_count(argv[arg + 1], 1000000, delay)) return fail("--delay wants a sample count from 0 to 1000000");
        arg += 2;
    }
    if (argc - arg != 2) return fail(usage);

    zuvo::quality::Audio original, decoded;
    std::string error;
    if (!read_audio(argv[arg], original, error) || !read_audio(argv[arg + 1], decoded, error)) return fail(error);
    if (original.rate != decoded.rate)
        return fail("sampling rates differ: " + std::to_string(original.rate) + " and " +
                    std::to_string(decoded.rate) + " Hz");
    if (original.channels.size() != decoded.channels.size()) return fail("channel counts differ");
    if (original.length() == 0 || decoded.length() == 0) return fail("an input holds no samples");

    const int lag = delay >= 0 ? delay : zuvo::quality::find_lag(original, decoded, 3000, expected);
    try {
        const zuvo::quality::Result result = zuvo::quality::measure(original, decoded, lag);
        std::printf("%s\n", zuvo::quality::format(result).c_str());
        for (std::size_t b = 0; bands && b < result.band_nmr_db.size(); ++b)
            std::printf("band %2zu up_to_hz=%.0f nmr_db=%.2f\n", b, result.band_top_hz[b], result.band_nmr_db[b]);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 0;
}
