// Test-side helpers for the end-to-end tests: temporary directories, running
// external programs (decoders, the command-line tool), WAV files, synthetic
// signals and the comparison of a decoded signal with its source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zuvo_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the directory (not "." and "..").
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

// A fresh directory that $TMPDIR points at while this object lives; the
// previous value (or its absence) comes back afterwards.
class TmpdirOverride {
public:
    TmpdirOverride();
    ~TmpdirOverride();
    TmpdirOverride(const TmpdirOverride&) = delete;
    TmpdirOverride& operator=(const TmpdirOverride&) = delete;

    // Empty when no directory could be made.
    const std::string& path() const { return dir_.path(); }

private:
    // Read before dir_ is made, in declaration order.
    bool had_old_;
    std::string old_;
    TempDir dir_;
};

struct ProcessResult {
    bool started = false; // false: the program could not be run at all
    int exit_code = -1;   // exit status, or 128 + signal number
    bool timed_out = false;
    std::vector<std::uint8_t> out;
    std::string err;
};

// Runs argv[0] (searched in PATH) with the given arguments. Standard input
// comes from `stdin_path` (empty: /dev/null); standard output and error are
// captured. A program still running after `timeout_seconds` is killed.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& stdin_path = "",
                          int timeout_seconds = 300, const std::string& working_dir = "");

// Full path of an executable found in PATH, or "" when there is none.
std::string find_program(const std::string& name);

bool file_exists(const std::string& path);
std::vector<std::uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A canonical 44-byte-header WAV file of 16-bit PCM.
bool write_wav16(const std::string& path, const std::vector<std::int16_t>& interleaved, int channels, int rate);

// Interleaved 16-bit samples of `frames` time steps; `value(channel, t)`
// gives the sample at time t seconds in full-scale units (clipped to ±1).
std::vector<std::int16_t> synthesize(std::size_t frames, int channels, int rate,
                                     const std::function<double(int, double)>& value);

// Interleaved white noise, uniform in ±amplitude (full scale 1.0), the same
// for the same seed on every platform; channels are independent.
std::vector<std::int16_t> white_noise(std::size_t frames, int channels, double amplitude, std::uint32_t seed);

// 16-bit samples from little-endian or big-endian bytes.
std::vector<std::int16_t> pcm_from_le(const std::vector<std::uint8_t>& bytes);
std::vector<std::int16_t> pcm_from_be(const std::vector<std::uint8_t>& bytes);
// Little-endian bytes of 16-bit samples.
std::vector<std::uint8_t> pcm_to_le(const std::vector<std::int16_t>& samples);

struct Comparison {
    long lag = 0;         // decoded[t + lag] lines up with reference[t]
    double snr_db = 0.0;  // over all channels of the compared range
    std::size_t compared_frames = 0;
};

// Finds the lag in [min_lag, max_lag] that best lines up `decoded` with
// `reference` (least squared difference over all channels), then measures the
// signal-to-noise ratio of `decoded` against `reference` at that lag,
// leaving out `skip_head` frames at the start and `skip_tail` at the end of
// the reference.
Comparison compare_signals(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& decoded,
                           int channels, long min_lag, long max_lag, std::size_t skip_head, std::size_t skip_tail);

// 64-bit FNV-1a of a byte string.
std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size);
inline std::uint64_t fnv1a64(const std::vector<std::uint8_t>& data) { return fnv1a64(data.data(), data.size()); }

} // namespace zuvo_test
