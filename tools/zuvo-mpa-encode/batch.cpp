#include "batch.h"

#include "common.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

namespace zuvo_tool {

int run_batch(const Options& options, EncodeFile encode) {
    std::error_code failure;
    std::filesystem::create_directories(options.output_dir, failure);
    if (failure) {
        std::fprintf(stderr, "%s: cannot make the folder '%s': %s\n", kProgram, options.output_dir.c_str(),
                     failure.message().c_str());
        return kOutputError;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t jobs =
        std::min<std::size_t>(options.files.size(), options.jobs > 0 ? static_cast<std::size_t>(options.jobs) : cores);
    std::atomic<std::size_t> next{0};
    std::atomic<int> worst{kOk};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < options.files.size();) {
            const std::string& input = options.files[i];
            const int code = encode(options, input, batch_output_path(options, input), true);
            int seen = worst.load();
            while (code > seen && !worst.compare_exchange_weak(seen, code)) {
            }
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t j = 1; j < jobs; ++j) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    return worst.load();
}

}  // namespace zuvo_tool
