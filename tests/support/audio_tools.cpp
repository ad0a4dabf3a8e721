#include "support/audio_tools.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zuvo_test {
namespace {

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") remove_tree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void put_le(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::int16_t to_pcm(double v) {
    v = std::max(-1.0, std::min(1.0, v));
    return static_cast<std::int16_t>(std::lround(v * 32767.0));
}

} // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zuvo-test-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) path_ = name.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) remove_tree(path_);
}

TmpdirOverride::TmpdirOverride()
    : had_old_(std::getenv("TMPDIR") != nullptr), old_(had_old_ ? std::getenv("TMPDIR") : "") {
    if (!dir_.path().empty()) setenv("TMPDIR", dir_.path().c_str(), 1);
}

TmpdirOverride::~TmpdirOverride() {
    if (had_old_) {
        setenv("TMPDIR", old_.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path_.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& stdin_path, int timeout_seconds,
                          const std::string& working_dir) {
    ProcessResult result;
    if (argv.empty()) return result;
    const std::string program = find_program(argv[0]);
    if (program.empty()) return result;

    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0) return result;
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string input = stdin_path.empty() ? "/dev/null" : stdin_path;

    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        return result;
    }
    if (pid == 0) {
        const int in = open(input.c_str(), O_RDONLY);
        if (in < 0) _exit(126);
        dup2(in, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        for (int fd : {in, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(126);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    result.started = true;
    close(out_pipe[1]);
    close(err_pipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    char buffer[65536];
    while (open_fds > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                if (i == 0) {
                    result.out.insert(result.out.end(), buffer, buffer + got);
                } else {
                    result.err.append(buffer, static_cast<std::size_t>(got));
                }
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exit_code = 128 + WTERMSIG(status);
    return result;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool write_wav16(const std::string& path, const std::vector<std::int16_t>& interleaved, int channels, int rate) {
    const std::uint32_t data_bytes = static_cast<std::uint32_t>(interleaved.size() * 2);
    std::vector<std::uint8_t> out;
    out.reserve(44 + data_bytes);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put_le(out, 36 + data_bytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(out, 16, 4);
    put_le(out, 1, 2); // PCM
    put_le(out, static_cast<std::uint32_t>(channels), 2);
    put_le(out, static_cast<std::uint32_t>(rate), 4);
    put_le(out, static_cast<std::uint32_t>(rate * channels * 2), 4);
    put_le(out, static_cast<std::uint32_t>(channels * 2), 2);
    put_le(out, 16, 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put_le(out, data_bytes, 4);
    const std::vector<std::uint8_t> pcm = pcm_to_le(interleaved);
    out.insert(out.end(), pcm.begin(), pcm.end());
    return write_file(path, out);
}

std::vector<std::int16_t> synthesize(std::size_t frames, int channels, int rate,
                                     const std::function<double(int, double)>& value) {
    std::vector<std::int16_t> out(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (int c = 0; c < channels; ++c) out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = to_pcm(value(c, t));
    }
    return out;
}

std::vector<std::int16_t> white_noise(std::size_t frames, int channels, double amplitude, std::uint32_t seed) {
    std::vector<std::int16_t> out(frames * static_cast<std::size_t>(channels));
    std::uint32_t state = seed ? seed : 1u;
    for (std::int16_t& s : out) {
        // xorshift32: the same sequence everywhere, unlike <random> distributions.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const double u = static_cast<double>(state) / 4294967295.0 * 2.0 - 1.0;
        s = to_pcm(u * amplitude);
    }
    return out;
}

std::vector<std::int16_t> pcm_from_le(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return out;
}

std::vector<std::int16_t> pcm_from_be(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]));
    return out;
}

std::vector<std::uint8_t> pcm_to_le(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> out(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(samples[i]);
        out[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    return out;
}

Comparison compare_signals(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& decoded,
                           int channels, long min_lag, long max_lag, std::size_t skip_head, std::size_t skip_tail) {
    Comparison c;
    const long ch = channels;
    const long ref_frames = static_cast<long>(reference.size()) / ch;
    const long dec_frames = static_cast<long>(decoded.size()) / ch;
    const long begin = static_cast<long>(skip_head);
    const long end = ref_frames - static_cast<long>(skip_tail);
    if (end <= begin) return c;

    // Lag search on a window of at most 16384 frames from the middle region.
    const long window_begin = begin;
    const long window_end = std::min(end, window_begin + 16384);
    // The lag with the least squared difference, rather than the largest raw
    // correlation, which favours louder stretches of a near-periodic signal.
    double best = 1e300;
    long best_lag = min_lag;
    for (long lag = min_lag; lag <= max_lag; ++lag) {
        if (window_begin + lag < 0 || window_end + lag > dec_frames) continue;
        double error = 0.0;
        for (long t = window_begin; t < window_end; ++t) {
            const long u = t + lag;
            for (long k = 0; k < ch; ++k) {
                const double diff = double(reference[std::size_t(t * ch + k)]) - decoded[std::size_t(u * ch + k)];
                error += diff * diff;
            }
        }
        if (error < best) {
            best = error;
            best_lag = lag;
        }
    }
    c.lag = best_lag;

    double signal = 0.0;
    double noise = 0.0;
    for (long t = begin; t < end; ++t) {
        const long u = t + best_lag;
        if (u < 0 || u >= dec_frames) continue;
        for (long k = 0; k < ch; ++k) {
            const double r = reference[std::size_t(t * ch + k)];
            const double d = decoded[std::size_t(u * ch + k)];
            signal += r * r;
            noise += (r - d) * (r - d);
        }
        ++c.compared_frames;
    }
    c.snr_db = noise > 0.0 ? 10.0 * std::log10(signal / noise) : 200.0;
    return c;
}

std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

} // namespace zuvo_test
