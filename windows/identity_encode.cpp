// Encodes the fixed test signal in a few configurations and prints, for each,
// the number of frames and bytes and the FNV-1a checksum of the stream. Built
// for Linux and for both Windows architectures; the outputs must be the same
// line for line (windows/identity.expected holds them).
#include <cinttypes>
#include <cstdio>

#include "host_common.h"

int main() {
    const host::Api api = host::linked_api();
    int status = 0;
    for (const host::Config& config : host::kIdentityConfigs) {
        const host::Stream stream = host::encode(api, config);
        std::printf("mode=%d index=%d rate=%d frames=%ld bytes=%zu fnv1a=%016" PRIx64 "%s\n", config.mode,
                    config.bitrate_index, config.sampling_rate, stream.frames, stream.bytes.size(),
                    host::fnv1a(stream.bytes), stream.calls_ok ? "" : " calls-failed");
        if (!stream.calls_ok || stream.frames <= 0) status = 1;
    }
    return status;
}
