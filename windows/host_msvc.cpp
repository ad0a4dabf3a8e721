// A host built the way Microsoft's tools build one: compiled in Microsoft
// mode, so that the declarations of ZuvoMPAEncoder.h get Microsoft's decorated
// names, and linked against lib/ZuvoMPAEncoder.lib by a Microsoft-style linker
// (lld-link). It has no C runtime: it calls every exported function through
// those names, and the C interface through its plain names, reports on the
// console and ends with ExitProcess.
#include "ZuvoMPAEncoder.h"
#include "zuvo_mpa.h"

// The compiler may turn zero-filling into a call.
extern "C" void* __cdecl memset(void* destination, int value, size_t size) {
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    while (size-- > 0) *bytes++ = static_cast<unsigned char>(value);
    return destination;
}

namespace {

HANDLE console;
int passed;
int failed;

void write_text(const char* text) {
    DWORD length = 0;
    while (text[length] != '\0') ++length;
    DWORD written = 0;
    WriteFile(console, text, length, &written, nullptr);
}

void write_number(int value) {
    char digits[12];
    int at = 11;
    digits[at] = '\0';
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    write_text(digits + at);
}

void check(bool ok, const char* what) {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    write_text("FAILED: ");
    write_text(what);
    write_text("\n");
}

}  // namespace

extern "C" void __cdecl host_main() {
    console = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE heap = GetProcessHeap();

    // Four frames of stereo samples: a sawtooth against its mirror image.
    const unsigned pcm_bytes = 4 * 1152 * 2 * 2;
    short* pcm = static_cast<short*>(HeapAlloc(heap, 0, pcm_bytes));
    unsigned char* output = static_cast<unsigned char*>(HeapAlloc(heap, 0, 65536));
    for (unsigned i = 0; i < pcm_bytes / 4; ++i) {
        pcm[2 * i] = static_cast<short>((i % 200) * 150 - 15000);
        pcm[2 * i + 1] = static_cast<short>(15000 - (i % 300) * 100);
    }

    void* context = ZuvoCreateAudioContext();
    check(context == reinterpret_cast<void*>(1), "the first handle is 1");
    ZuvoMPAEncoderParams params;
    params.mode = 1;
    params.bitrate_index = 11;
    params.sampling_rate = 44100;
    check(ZuvoInitAudioEncoder(context, &params) == 1, "init");

    wavehdr_tag header;
    memset(&header, 0, sizeof header);
    header.lpData = reinterpret_cast<LPSTR>(pcm);
    header.dwBufferLength = pcm_bytes / 2;
    const int room = ZuvoMaxOutputBytes(context, header.dwBufferLength);
    check(room > 0 && room < 65536, "room for two frames");
    int length = -1;
    check(ZuvoCompressAudioFrame(context, &header, output, &length) == 1, "compress");
    check(length > 0 && length <= room, "compress wrote whole frames within the room");
    check(output[0] == 0xFF && output[1] == 0xFC, "the stream starts with a frame header");

    header.lpData = reinterpret_cast<LPSTR>(pcm) + pcm_bytes / 2;
    length = -1;
    check(ZuvoCompressAudioFrameBounded(context, &header, output, 0, &length) == 0 && length == -1,
          "the bounded call refuses an output area that is too small");
    check(ZuvoCompressAudioFrameBounded(context, &header, output, 65536, &length) == 1 && length > 0,
          "the bounded call encodes");
    check(ZuvoFinishAudio(context) == 1, "finish audio ends the stream");
    check(ZuvoFinishAudio(context) == 0, "finish audio again finds no stream");
    check(ZuvoFinishEncoder(context) == 1, "finish encoder on a known context");
    ZuvoDeleteAudioContext(context);
    check(ZuvoFinishEncoder(context) == 0, "the deleted handle is unknown");
    check(ZuvoCreateAudioContext() == reinterpret_cast<void*>(1), "numbering restarts at 1");

    // The C interface: two frames' samples and the flush make three frames.
    zuvo_mpa_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.mode = ZUVO_MPA_JOINT_STEREO;
    settings.bitrate_kbps = 224;
    settings.sample_rate = 44100;
    int error = -99;
    zuvo_mpa_encoder* encoder = zuvo_mpa_create(&settings, &error);
    check(encoder != nullptr && error == ZUVO_MPA_OK, "zuvo_mpa_create");
    check(zuvo_mpa_channels(encoder) == 2, "zuvo_mpa_channels");
    size_t written = 0;
    check(zuvo_mpa_encode(encoder, pcm, 2 * 1152, output, zuvo_mpa_max_output(encoder, 2 * 1152), &written) ==
                  ZUVO_MPA_OK && written > 0 && output[0] == 0xFF,
          "zuvo_mpa_encode");
    size_t tail = 0;
    check(zuvo_mpa_flush(encoder, output + written, zuvo_mpa_max_output(encoder, 0), &tail) == ZUVO_MPA_OK &&
              tail > 0 && tail < written,
          "zuvo_mpa_flush codes one more frame");
    check(zuvo_mpa_reset(encoder) == ZUVO_MPA_OK, "zuvo_mpa_reset");
    zuvo_mpa_destroy(encoder);
    check(zuvo_mpa_strerror(ZUVO_MPA_ERROR_FLUSHED)[0] != '\0' && zuvo_mpa_version()[0] == '1',
          "zuvo_mpa_strerror and zuvo_mpa_version");

    // Two functions of 1.1: the format queries.
    check(zuvo_mpa_check_format(44100, ZUVO_MPA_JOINT_STEREO, 224) == ZUVO_MPA_OK &&
              zuvo_mpa_check_format(44100, ZUVO_MPA_STEREO, 32) == ZUVO_MPA_ERROR_BAD_BITRATE &&
              zuvo_mpa_check_format(96000, ZUVO_MPA_MONO, 96) == ZUVO_MPA_ERROR_BAD_SAMPLE_RATE,
          "zuvo_mpa_check_format");
    static const int mono_kbps[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192};
    int kbps[16];
    const size_t count = zuvo_mpa_bitrates(48000, ZUVO_MPA_MONO, kbps, 16);
    bool same = count == sizeof mono_kbps / sizeof mono_kbps[0];
    for (size_t i = 0; same && i < count; ++i) same = kbps[i] == mono_kbps[i];
    check(same, "zuvo_mpa_bitrates lists the ten single-channel bitrates at 48000 Hz");

    HeapFree(heap, 0, pcm);
    HeapFree(heap, 0, output);
    write_text(failed == 0 ? "host_msvc: " : "host_msvc: checks FAILED, ");
    write_number(failed == 0 ? passed : failed);
    write_text(failed == 0 ? " checks passed\n" : " of them\n");
    ExitProcess(failed == 0 ? 0 : 1);
}
