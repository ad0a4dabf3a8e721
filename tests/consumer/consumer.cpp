// A host program of the installed library: encodes one second of a 440 Hz
// tone (stereo, 44.1 kHz, joint stereo at 192 kbit/s) through the six
// functions and walks the frames it got. Prints "consumer: N frames, B bytes"
// and exits 0 when the stream holds exactly the whole frames one second gives.
#include <ZuvoMPAEncoder.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main() {
    const int rate = 44100;
    std::vector<short> pcm(2 * rate);
    for (int i = 0; i < rate; ++i) {
        const short v = static_cast<short>(12000.0 * std::sin(6.283185307179586 * 440.0 * i / rate));
        pcm[2 * i] = v;
        pcm[2 * i + 1] = v;
    }

    void* context = ZuvoCreateAudioContext();
    ZuvoMPAEncoderParams params{1 /* joint stereo */, 10 /* 192 kbit/s */, rate};
    if (context == nullptr || !ZuvoInitAudioEncoder(context, &params)) {
        std::fprintf(stderr, "consumer: could not start the encoder\n");
        return 1;
    }
    wavehdr_tag header{};
    header.lpData = reinterpret_cast<char*>(pcm.data());
    header.dwBufferLength = static_cast<unsigned>(pcm.size() * sizeof(short));
    // One second at 192 kbit/s is 24000 bytes; leave room to spare.
    std::vector<unsigned char> mp2(64 * 1024);
    int written = 0;
    const int ok = ZuvoCompressAudioFrame(context, &header, mp2.data(), &written);
    const int finished = ZuvoFinishAudio(context);
    ZuvoFinishEncoder(context);
    ZuvoDeleteAudioContext(context);
    if (!ok || !finished) {
        std::fprintf(stderr, "consumer: compress %d, finish %d\n", ok, finished);
        return 1;
    }

    // Walk the frames: sync word, MPEG-1 Layer II, 44.1 kHz, the length from
    // the bitrate and the padding bit.
    static const int kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    int frames = 0;
    int at = 0;
    while (at + 4 <= written) {
        const unsigned char* h = &mp2[static_cast<size_t>(at)];
        const int bitrate_index = h[2] >> 4;
        if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFC || bitrate_index == 0 || bitrate_index == 15 ||
            ((h[2] >> 2) & 3) != 0) {
            std::fprintf(stderr, "consumer: no Layer II frame header at byte %d\n", at);
            return 1;
        }
        at += 144 * 1000 * kbps[bitrate_index] / rate + ((h[2] >> 1) & 1);
        ++frames;
    }
    std::printf("consumer: %d frames, %d bytes\n", frames, written);
    if (at != written || frames != rate / 1152) {
        std::fprintf(stderr, "consumer: expected %d whole frames\n", rate / 1152);
        return 1;
    }
    return 0;
}
