// A host linked through the MinGW import library: it reaches every exported
// function under its GCC name, encodes streams in each channel mode and checks
// the answers for handles that do not exist.
#include "host_common.h"

int main() {
    host::Checks check;
    const host::Api api = host::linked_api();

    for (const host::Config& config : host::kIdentityConfigs) {
        const host::Stream stream = host::encode(api, config);
        check(stream.calls_ok, "every call of the stream answered as it should");
        check(stream.frames > 0, "the stream is made of whole frames", stream.frames, 1);
    }

    void* first = ZuvoCreateAudioContext();
    void* second = ZuvoCreateAudioContext();
    check(first == reinterpret_cast<void*>(1), "the first handle is 1");
    check(second == reinterpret_cast<void*>(2), "the second handle is 2");
    ZuvoDeleteAudioContext(second);
    void* unknown = reinterpret_cast<void*>(77);
    ZuvoMPAEncoderParams params{0, 11, 44100};
    int length = -5;
    unsigned char output[4];
    char pcm[4608] = {};
    wavehdr_tag header{};
    header.lpData = pcm;
    header.dwBufferLength = sizeof pcm;
    check(ZuvoInitAudioEncoder(unknown, &params) == 0, "init refuses an unknown handle");
    check(ZuvoCompressAudioFrame(unknown, &header, output, &length) == 0 && length == -5,
          "compress refuses an unknown handle");
    check(ZuvoCompressAudioFrameBounded(unknown, &header, output, 4, &length) == 0 && length == -5,
          "bounded compress refuses an unknown handle");
    check(ZuvoMaxOutputBytes(unknown, 4608) == 0, "no room needed for an unknown handle");
    check(ZuvoFinishAudio(unknown) == 0, "finish audio refuses an unknown handle");
    check(ZuvoFinishEncoder(unknown) == 0, "finish encoder refuses an unknown handle");
    ZuvoDeleteAudioContext(unknown);
    check(ZuvoMaxOutputBytes(first, 4608) == 0, "no room needed before a stream starts");
    check(ZuvoFinishEncoder(first) == 1, "finish encoder on a known, idle context");
    ZuvoDeleteAudioContext(first);
    check(ZuvoCreateAudioContext() == reinterpret_cast<void*>(1), "numbering restarts at 1");
    ZuvoDeleteAudioContext(reinterpret_cast<void*>(1));
    return check.finish("host_importlib");
}
