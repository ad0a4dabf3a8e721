// Contexts used from many threads at once. Eight workers each create a context,
// encode their own signal with their own configuration and buffer sizes,
// finish and delete it, round after round, while one more thread keeps
// creating, briefly using and deleting contexts of its own. Every stream must
// be byte-identical to the same encoding done alone on one thread beforehand,
// and no two live contexts may ever share a handle.
//
// Run it under -DZUVO_SANITIZE=thread too: it is the test that gives
// ThreadSanitizer something to look at (shared tables built on first use, the
// registry's list, process-wide state of any stage).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ZuvoMPAEncoder.h"

namespace {

constexpr int kWorkers = 8;
constexpr int kRounds = 4;
constexpr int kFrames = 6;

struct Job {
    int mode;
    int bitrate_index;
    int rate;
    std::size_t piece;  // bytes per call
    std::vector<char> pcm;
};

std::vector<char> signal(int channels, std::size_t samples, int seed) {
    std::vector<char> pcm(samples * static_cast<std::size_t>(channels) * 2);
    std::uint32_t noise = 2654435761u * static_cast<std::uint32_t>(seed + 1);
    for (std::size_t i = 0; i < samples * static_cast<std::size_t>(channels); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(i / static_cast<std::size_t>(channels));
        const double v = 12000.0 * std::sin(t * (0.01 + 0.004 * seed) + static_cast<double>(i % 2)) +
                         static_cast<double>(static_cast<std::int32_t>(noise >> 19) - 4096);
        const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v)));
        pcm[2 * i] = static_cast<char>(s & 0xFF);
        pcm[2 * i + 1] = static_cast<char>(s >> 8);
    }
    return pcm;
}

// Encodes `job.pcm` on a fresh context; returns the stream, or an empty one
// with `error` set.
std::vector<std::uint8_t> encode(const Job& job, std::string& error) {
    std::vector<std::uint8_t> stream;
    void* h = ZuvoCreateAudioContext();
    if (h == nullptr) {
        error = "create failed";
        return stream;
    }
    ZuvoMPAEncoderParams p{job.mode, job.bitrate_index, job.rate};
    if (ZuvoInitAudioEncoder(h, &p) != 1) error = "init failed";
    std::vector<unsigned char> out;
    for (std::size_t at = 0; error.empty() && at < job.pcm.size(); at += job.piece) {
        std::vector<char> chunk(job.pcm.begin() + static_cast<std::ptrdiff_t>(at),
                                job.pcm.begin() + static_cast<std::ptrdiff_t>(std::min(at + job.piece, job.pcm.size())));
        wavehdr_tag header{};
        header.lpData = chunk.data();
        header.dwBufferLength = static_cast<std::uint32_t>(chunk.size());
        out.assign(static_cast<std::size_t>(ZuvoMaxOutputBytes(h, header.dwBufferLength)) + 1, 0);
        int length = -1;
        if (ZuvoCompressAudioFrame(h, &header, out.data(), &length) != 1 || length < 0 ||
            static_cast<std::size_t>(length) >= out.size()) {
            error = "compress failed at byte " + std::to_string(at);
            break;
        }
        stream.insert(stream.end(), out.begin(), out.begin() + length);
    }
    if (ZuvoFinishAudio(h) != 1 && error.empty()) error = "finish failed";
    ZuvoDeleteAudioContext(h);
    return stream;
}

// Handles of the contexts alive right now, as the threads see them.
class LiveHandles {
public:
    // False when the handle is already held by a live context.
    bool claim(void* h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return h != nullptr && live_.insert(reinterpret_cast<std::uintptr_t>(h)).second;
    }
    // Called before the context is deleted, while its number is still taken.
    void release(void* h) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(reinterpret_cast<std::uintptr_t>(h));
    }

private:
    std::mutex mutex_;
    std::set<std::uintptr_t> live_;
};

}  // namespace

TEST(Threads, ParallelStreamsMatchTheirSingleThreadedEncoding) {
    // Eight different jobs: every mode, the three rates, assorted bitrates and
    // buffer sizes (odd ones included, so frames straddle buffers).
    std::vector<Job> jobs(kWorkers);
    for (int t = 0; t < kWorkers; ++t) {
        Job& j = jobs[static_cast<std::size_t>(t)];
        j.mode = t % 4;
        j.bitrate_index = j.mode == 3 ? 4 + t : 6 + t;
        j.rate = t % 3 == 0 ? 44100 : t % 3 == 1 ? 48000 : 32000;
        j.piece = 1000 + 777 * static_cast<std::size_t>(t);
        j.pcm = signal(j.mode == 3 ? 1 : 2, kFrames * 1152 + 100 * static_cast<std::size_t>(t), t);
    }

    // The threaded run comes first, and all workers start together, so that
    // whatever the library builds on first use is built while they race.
    LiveHandles handles;
    std::atomic<int> duplicate_handles{0};
    std::atomic<int> failures{0};
    std::atomic<int> workers_left{kWorkers};
    std::atomic<int> waiting{kWorkers + 1};
    std::atomic<long> churned{0};
    std::mutex message_mutex;
    std::string first_message;
    const auto note = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(message_mutex);
        if (first_message.empty()) first_message = text;
    };
    const auto start_together = [&] {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
    };
    std::vector<std::vector<std::vector<std::uint8_t>>> produced(
        kWorkers, std::vector<std::vector<std::uint8_t>>(kRounds));

    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t) {
        threads.emplace_back([&, t] {
            const Job& job = jobs[static_cast<std::size_t>(t)];
            start_together();
            for (int round = 0; round < kRounds; ++round) {
                void* h = ZuvoCreateAudioContext();
                if (!handles.claim(h)) {
                    ++duplicate_handles;
                    note("worker " + std::to_string(t) + " got a handle already live");
                }
                ZuvoMPAEncoderParams p{job.mode, job.bitrate_index, job.rate};
                std::vector<std::uint8_t>& stream = produced[static_cast<std::size_t>(t)][static_cast<std::size_t>(round)];
                if (ZuvoInitAudioEncoder(h, &p) != 1) {
                    ++failures;
                    note("worker " + std::to_string(t) + ": init failed");
                }
                for (std::size_t at = 0; at < job.pcm.size(); at += job.piece) {
                    std::vector<char> chunk(job.pcm.begin() + static_cast<std::ptrdiff_t>(at),
                                            job.pcm.begin() +
                                                static_cast<std::ptrdiff_t>(std::min(at + job.piece, job.pcm.size())));
                    wavehdr_tag header{};
                    header.lpData = chunk.data();
                    header.dwBufferLength = static_cast<std::uint32_t>(chunk.size());
                    std::vector<unsigned char> out(static_cast<std::size_t>(ZuvoMaxOutputBytes(h, header.dwBufferLength)) + 1);
                    int length = -1;
                    if (ZuvoCompressAudioFrame(h, &header, out.data(), &length) != 1 || length < 0) {
                        ++failures;
                        note("worker " + std::to_string(t) + ": compress failed");
                        break;
                    }
                    stream.insert(stream.end(), out.begin(), out.begin() + length);
                }
                if (ZuvoFinishAudio(h) != 1) ++failures;
                handles.release(h);
                ZuvoDeleteAudioContext(h);
            }
            --workers_left;
        });
    }
    // The churner: contexts that come and go while the workers encode, some of
    // them started and fed a little, some deleted while running.
    threads.emplace_back([&] {
        const std::vector<char> pcm = signal(2, 1152 + 10, 99);
        std::vector<unsigned char> out(4096);
        start_together();
        long n = 0;
        while (workers_left.load() > 0) {
            void* h = ZuvoCreateAudioContext();
            if (!handles.claim(h)) {
                ++duplicate_handles;
                note("churner got a handle already live");
            }
            if (n % 2 == 0) {
                ZuvoMPAEncoderParams p{static_cast<int>(n % 4), 8, 48000};
                if (ZuvoInitAudioEncoder(h, &p) != 1) ++failures;
                if (n % 4 == 0) {
                    std::vector<char> chunk(pcm);
                    wavehdr_tag header{};
                    header.lpData = chunk.data();
                    header.dwBufferLength = static_cast<std::uint32_t>(chunk.size());
                    int length = -1;
                    if (ZuvoCompressAudioFrame(h, &header, out.data(), &length) != 1) ++failures;
                }
            }
            if (ZuvoFinishEncoder(h) != 1) ++failures;
            handles.release(h);
            ZuvoDeleteAudioContext(h);
            ++n;
        }
        churned = n;
    });
    for (auto& th : threads) th.join();

    EXPECT_EQ(duplicate_handles.load(), 0) << first_message;
    EXPECT_EQ(failures.load(), 0) << first_message;
    EXPECT_GT(churned.load(), 0);

    // Now the same jobs alone, one after the other, on this thread.
    for (int t = 0; t < kWorkers; ++t) {
        std::string error;
        const auto expected = encode(jobs[static_cast<std::size_t>(t)], error);
        ASSERT_EQ(error, "") << "job " << t;
        ASSERT_FALSE(expected.empty());
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_TRUE(produced[static_cast<std::size_t>(t)][static_cast<std::size_t>(round)] == expected)
                << "worker " << t << " round " << round << ": stream differs from the single-threaded one";
        }
    }
}

TEST(Threads, CreateAndDeleteStormKeepsHandlesUnique) {
    // Only the registry: many threads creating and deleting at once, each
    // holding a few contexts at a time.
    LiveHandles handles;
    std::atomic<int> duplicates{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t) {
        threads.emplace_back([&, t] {
            std::vector<void*> held;
            for (int i = 0; i < 200; ++i) {
                if (held.size() < 3 || (i + t) % 3 != 0) {
                    void* h = ZuvoCreateAudioContext();
                    if (!handles.claim(h)) ++duplicates;
                    held.push_back(h);
                } else {
                    // Delete an older one, not always the newest.
                    const std::size_t k = static_cast<std::size_t>(i) % held.size();
                    void* h = held[k];
                    held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
                    if (ZuvoFinishEncoder(h) != 1) ++refused;
                    handles.release(h);
                    ZuvoDeleteAudioContext(h);
                }
                if (held.size() > 6) {
                    void* h = held.front();
                    held.erase(held.begin());
                    handles.release(h);
                    ZuvoDeleteAudioContext(h);
                }
            }
            for (void* h : held) {
                handles.release(h);
                ZuvoDeleteAudioContext(h);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    // Everything is gone: numbering starts again at 1.
    void* h = ZuvoCreateAudioContext();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h), 1u);
    ZuvoDeleteAudioContext(h);
}
