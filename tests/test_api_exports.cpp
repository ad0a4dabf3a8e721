// The library's boundary as a host sees it: the exported names, the results of
// every call on known and unknown handles, and the two printed diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "ZuvoMPAEncoder.h"

namespace {

std::set<std::string> exported_symbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        // "ADDRESS TYPE NAME[@@VERSION]": the version nodes themselves are
        // absolute symbols (type A); which node holds which function is
        // checked by tests/abi/check_symbol_versions.sh.
        const auto space = text.find_last_of(' ');
        if (space == std::string::npos || (space >= 2 && text.compare(space - 2, 2, " A") == 0)) continue;
        names.insert(text.substr(space + 1, text.find('@', space) - space - 1));
    }
    pclose(pipe);
    return names;
}

// Symbols the C++ runtime may place in any shared object: std:: template
// instances, typeinfo and vtables of the standard library.
bool from_the_runtime(const std::string& name) {
    static const char* const prefixes[] = {"_ZNSt", "_ZSt", "_ZNKSt", "_ZTISt", "_ZTSSt", "_ZTVSt",
                                           "_ZN9__gnu_cxx", "_ZNK9__gnu_cxx", "__gnu", "_ZGVZNSt"};
    return std::any_of(std::begin(prefixes), std::end(prefixes),
                       [&](const char* p) { return name.rfind(p, 0) == 0; });
}

ZuvoMPAEncoderParams params(int mode, int bitrate_index, int rate) {
    return ZuvoMPAEncoderParams{mode, bitrate_index, rate};
}

wavehdr_tag header_for(std::vector<char>& pcm, std::uintptr_t user = 0) {
    wavehdr_tag h{};
    h.lpData = pcm.data();
    h.dwBufferLength = static_cast<std::uint32_t>(pcm.size());
    h.dwUser = user;
    return h;
}

}  // namespace

TEST(Exports, ExactlyTheDecoratedFunctionsAndTheCInterface) {
    const std::set<std::string> expected = {
        "_Z22ZuvoCreateAudioContextv",
        "_Z22ZuvoDeleteAudioContextPv",
        "_Z20ZuvoInitAudioEncoderPvP20ZuvoMPAEncoderParams",
        "_Z22ZuvoCompressAudioFramePvP11wavehdr_tagPhPi",
        "_Z15ZuvoFinishAudioPv",
        "_Z17ZuvoFinishEncoderPv",
        "_Z18ZuvoMaxOutputBytesPvj",
        "_Z29ZuvoCompressAudioFrameBoundedPvP11wavehdr_tagPhiPi",
        "zuvo_mpa_create",
        "zuvo_mpa_destroy",
        "zuvo_mpa_channels",
        "zuvo_mpa_max_output",
        "zuvo_mpa_encode",
        "zuvo_mpa_flush",
        "zuvo_mpa_reset",
        "zuvo_mpa_strerror",
        "zuvo_mpa_version",
        "zuvo_mpa_config_new",
        "zuvo_mpa_config_free",
        "zuvo_mpa_config_set_mode",
        "zuvo_mpa_config_set_bitrate",
        "zuvo_mpa_config_set_sample_rate",
        "zuvo_mpa_config_set_copyright",
        "zuvo_mpa_config_set_original",
        "zuvo_mpa_config_set_private_bit",
        "zuvo_mpa_config_set_emphasis",
        "zuvo_mpa_config_set_error_protection",
        "zuvo_mpa_config_set_ancillary",
        "zuvo_mpa_config_set_log",
        "zuvo_mpa_create_with_config",
        "zuvo_mpa_encode_float",
        "zuvo_mpa_encode_int32",
        "zuvo_mpa_check_format",
        "zuvo_mpa_bitrates",
        "zuvo_mpa_sample_rates",
        "zuvo_mpa_default_bitrate",
        "zuvo_mpa_mpeg_version",
        "zuvo_mpa_frame_bytes",
        "zuvo_mpa_frame_samples",
        "zuvo_mpa_delay_samples",
        "zuvo_mpa_max_ancillary",
        "zuvo_mpa_config_set_tuning",
    };
    const auto all = exported_symbols(ZUVO_LIBRARY_PATH);
    ASSERT_FALSE(all.empty()) << "could not read the dynamic symbols of " << ZUVO_LIBRARY_PATH;
    std::set<std::string> ours;
    for (const auto& name : all) {
        if (!from_the_runtime(name)) ours.insert(name);
    }
    EXPECT_EQ(ours, expected);
}

TEST(Exports, UnknownHandlesAndMissingArguments) {
    void* unknown = reinterpret_cast<void*>(std::uintptr_t{4242});
    auto p = params(0, 10, 44100);
    std::vector<char> pcm(4608, 0);
    auto h = header_for(pcm);
    std::vector<unsigned char> out(4096);
    int length = -7;

    EXPECT_EQ(ZuvoInitAudioEncoder(unknown, &p), 0);
    EXPECT_EQ(ZuvoCompressAudioFrame(unknown, &h, out.data(), &length), 0);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(ZuvoFinishAudio(unknown), 0);
    EXPECT_EQ(ZuvoFinishEncoder(unknown), 0);
    ZuvoDeleteAudioContext(unknown);
    ZuvoDeleteAudioContext(nullptr);

    void* context = ZuvoCreateAudioContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(ZuvoInitAudioEncoder(context, nullptr), 0);
    ASSERT_EQ(ZuvoInitAudioEncoder(context, &p), 1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ZuvoCompressAudioFrame(context, nullptr, out.data(), &length), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    wavehdr_tag no_data = h;
    no_data.lpData = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &no_data, out.data(), &length), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "audio data unavailable");

    // Null output area or count: refused before anything is consumed.
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, nullptr, &length), 0);
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), nullptr), 0);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), &length), 1);
    EXPECT_EQ(length, 627) << "the first buffer gives exactly one (padded) frame";

    ZuvoDeleteAudioContext(context);
    EXPECT_EQ(ZuvoFinishAudio(context), 0) << "a deleted handle is unknown";
}

TEST(Exports, ResultsThroughTheLifeOfAContext) {
    void* context = ZuvoCreateAudioContext();
    ASSERT_EQ(context, reinterpret_cast<void*>(1)) << "the first context of a fresh registry";
    std::vector<char> pcm(4608, 0);
    auto h = header_for(pcm);
    std::vector<unsigned char> out(4096);
    int length = -7;

    // Not yet initialised: refused, count written as 0.
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ZuvoFinishAudio(context), 0);
    EXPECT_EQ(ZuvoFinishEncoder(context), 1);

    // Rejected configurations leave the encoder stopped.
    for (auto bad : {params(0, 11, 22050), params(0, 11, 0), params(0, 11, -44100),
                     params(0, 11, 96000), params(4, 11, 44100), params(-1, 11, 48000)}) {
        EXPECT_EQ(ZuvoInitAudioEncoder(context, &bad), 0);
        length = -7;
        EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), &length), 0);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(ZuvoFinishEncoder(context), 1);
        EXPECT_EQ(ZuvoFinishAudio(context), 0);
    }

    auto good = params(1, 9, 48000);
    EXPECT_EQ(ZuvoInitAudioEncoder(context, &good), 1);
    EXPECT_EQ(ZuvoInitAudioEncoder(context, &good), 1) << "init twice restarts the stream";
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), &length), 1);
    EXPECT_EQ(length, 480);  // 160 kbit/s at 48 kHz
    EXPECT_EQ(ZuvoFinishAudio(context), 1);
    EXPECT_EQ(ZuvoFinishAudio(context), 0);
    EXPECT_EQ(ZuvoCompressAudioFrame(context, &h, out.data(), &length), 0);

    EXPECT_EQ(ZuvoInitAudioEncoder(context, &good), 1) << "a finished context starts again";
    EXPECT_EQ(ZuvoFinishEncoder(context), 1);
    EXPECT_EQ(ZuvoFinishEncoder(context), 1);
    EXPECT_EQ(ZuvoFinishAudio(context), 0) << "FinishEncoder finished it exactly once";

    void* second = ZuvoCreateAudioContext();
    EXPECT_EQ(second, reinterpret_cast<void*>(2));
    ZuvoDeleteAudioContext(context);
    ZuvoDeleteAudioContext(context);
    ZuvoDeleteAudioContext(second);
    EXPECT_EQ(ZuvoCreateAudioContext(), reinterpret_cast<void*>(1)) << "numbering restarts";
    ZuvoDeleteAudioContext(reinterpret_cast<void*>(1));
}

TEST(Exports, BoundedOutputRefusesTooSmallAreasAndConsumesNothing) {
    void* context = ZuvoCreateAudioContext();
    auto p = params(0, 10, 44100);  // frames of 626 or 627 bytes
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4608), 0) << "not running yet";
    ASSERT_EQ(ZuvoInitAudioEncoder(context, &p), 1);
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4607), 0);
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4608), 627);
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 3 * 4608 + 10), 3 * 627);

    std::vector<char> pcm(2 * 4608 + 100, 1);
    auto h = header_for(pcm);
    std::vector<unsigned char> out(4096, 0xAA);
    int length = -7;
    EXPECT_EQ(ZuvoCompressAudioFrameBounded(context, &h, out.data(), 2 * 627 - 1, &length), 0);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(out[0], 0xAA) << "nothing written";
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4508), 0) << "nothing consumed: still no bytes carried";

    EXPECT_EQ(ZuvoCompressAudioFrameBounded(context, &h, out.data(), 2 * 627, &length), 1);
    EXPECT_EQ(length, 627 + 627);
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4508), 627) << "100 bytes carried + 4508 make a frame";
    EXPECT_EQ(ZuvoMaxOutputBytes(context, 4507), 0);

    // A rate announced in the header counts: 32 kHz frames are larger.
    std::vector<char> one(4608, 1);
    auto to32 = header_for(one, 32000);
    EXPECT_EQ(ZuvoCompressAudioFrameBounded(context, &to32, out.data(), 627, &length), 0);
    EXPECT_EQ(ZuvoCompressAudioFrameBounded(context, &to32, out.data(), 864, &length), 1);
    EXPECT_EQ(length, 864);
    ZuvoDeleteAudioContext(context);
}
