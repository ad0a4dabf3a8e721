// The command line of zuvo-mpa-encode, parsed in-process: the full message of
// each refused command line (the end-to-end table in test_api_cli.cpp checks
// only parts, and the exit status), what accepted ones set, where --help and
// --version stop the parsing, and the checks left for when the input's rate
// is known.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

using namespace zuvo_tool;

namespace {

// Parses "zuvo-mpa-encode ARGS..." (words split at spaces).
Options parse(const std::string& line) {
    std::vector<std::string> words{"zuvo-mpa-encode"};
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t space = line.find(' ', at);
        words.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
        at = space == std::string::npos ? line.size() : space + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return parse_args(static_cast<int>(words.size()), argv.data());
}

std::string refusal(const std::string& line) {
    try {
        parse(line);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(ToolOptions, RefusedCommandLinesSayWhy) {
    const struct {
        const char* line;
        const char* message;
    } rows[] = {
        {"--frobnicate in.wav out.mp2", "unknown option '--frobnicate'"},
        {"-x in.wav out.mp2", "unknown option '-x'"},
        {"-q=1 in.wav out.mp2", "unknown option '-='"},
        {"-b", "option '-b' needs a value"},
        {"in.wav out.mp2 --title", "option '--title' needs a value"},
        {"in.wav", "expected INPUT and OUTPUT"},
        {"a b c", "expected INPUT and OUTPUT"},
        {"--out . in.wav out.mp2", "--out is only for the demo clip; give OUTPUT instead"},
        {"--out=", "--out needs a directory"},
        {"-b abc a b", "bitrate 'abc' is not a number of kbit/s"},
        {"-b 12345 a b", "bitrate '12345' is not a number of kbit/s"},
        {"-b 0k a b", "bitrate '0k' is not a bitrate; use 8 to 384 kbit/s"},
        {"-m quad a b", "unknown mode 'quad' (use stereo, joint, dual or mono)"},
        {"-b 224 -m mono a b",
         "224 kbit/s is not available for mono; use 32 48 56 64 80 96 112 128 160 192 (32000-48000 Hz) or "
         "8 16 24 32 40 48 56 64 80 96 112 128 144 160 (16000-24000 Hz)"},
        {"--year 99 a b", "--year '99' is not YYYY, YYYY-MM or YYYY-MM-DD"},
        {"--year 2024-1 a b", "--year '2024-1' is not YYYY, YYYY-MM or YYYY-MM-DD"},
        {"--track 2of9 a b", "--track '2of9' is not N or N/TOTAL"},
        {"--artist caf\xE9 a b", "--artist: the text is not UTF-8"},
        {"-r 96000 a b", "rate 96000 Hz cannot be coded; use 16000, 22050, 24000, 32000, 44100 and 48000 Hz"},
        {"-r 48k a b", "rate '48k' is not a number of Hz"},
        {"--emphasis 50 a b", "emphasis '50' is not none, 50/15 or ccitt"},
        {"--downmix itu a b", "--downmix 'itu' is not smpte or mean"},
        {"--tuning fine a b", "--tuning 'fine' is not reference or best"},
        {"-j 0 -O d a", "jobs '0' is not a number from 1 to 999"},
        {"-j 2 a b", "--jobs is for a batch (--output-dir)"},
        {"-O d", "--output-dir needs at least one INPUT"},
        {"-O d a.wav -", "a batch reads files: INPUT must not be '-' or empty"},
        {"-O d x/a.wav y/a.flac", "'x/a.wav' and 'y/a.flac' would both be written to 'd/a.mp2'"},
        {"-O d --out e a", "--out is only for the demo clip"},
        {"--wav a -", "--wav writes a file it completes at the end; OUTPUT cannot be a stream"},
        {"--wav a /dev/fd/3", "--wav writes a file it completes at the end; OUTPUT cannot be a stream"},
    };
    for (const auto& row : rows) EXPECT_EQ(refusal(row.line), row.message) << row.line;
    // A bitrate no mode carries names both lists.
    const std::string none = refusal("-b 100 a b");
    EXPECT_EQ(none.rfind("100 kbit/s is not a bitrate; use 64 96", 0), 0u) << none;
    EXPECT_NE(none.find(" (two channels) or 32 48"), std::string::npos) << none;
}

TEST(ToolOptions, StreamSettingsAndBatchesSetTheirFields) {
    Options o = parse("-r 24000 --copyright --original --emphasis ccitt --no-crc --downmix mean a b.WAV");
    EXPECT_EQ(o.rate, 24000);
    EXPECT_TRUE(o.copyright && o.original && o.wav) << "an OUTPUT ending in .wav chooses MP2 in WAV";
    EXPECT_FALSE(o.crc);
    EXPECT_EQ(o.emphasis, 3);
    EXPECT_EQ(o.downmix, "mean");
    EXPECT_EQ(o.tuning, 1) << "best by default";
    EXPECT_EQ(parse("--tuning reference a b").tuning, 0);
    o = parse("--emphasis 50/15 a b.mp2");
    EXPECT_EQ(o.emphasis, 1);
    EXPECT_FALSE(o.wav);
    EXPECT_TRUE(o.crc);
    o = parse("-j 3 --wav -O out/ x/one.flac two.wav three");
    EXPECT_TRUE(o.batch());
    EXPECT_EQ(o.jobs, 3);
    EXPECT_EQ(batch_output_path(o, o.files[0]), "out/one.wav");
    EXPECT_EQ(batch_output_path(o, o.files[2]), "out/three.wav");
    o = parse("-O out .hidden");
    EXPECT_EQ(batch_output_path(o, o.files[0]), "out/.hidden.mp2") << "a leading dot is no extension";
}

TEST(ToolOptions, AcceptedCommandLinesSetTheirFields) {
    // Options after the files, combined short options, "k" after a bitrate.
    const Options o = parse("in.wav -qf out.mp2 -m d -b 112k --title T --year 2024-05 --track 3/12 --copy-tags");
    EXPECT_EQ(o.files, (std::vector<std::string>{"in.wav", "out.mp2"}));
    EXPECT_EQ(o.action, Options::Action::kEncode);
    EXPECT_TRUE(o.quiet && o.force && o.copy_tags);
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.mode, 2);
    EXPECT_EQ(o.bitrate_kbps, 112);
    EXPECT_EQ(o.tags.title, "T");
    EXPECT_EQ(o.tags.year, "2024-05");
    EXPECT_EQ(o.tags.track, "3/12");
    EXPECT_EQ(o.output_path(), "out.mp2");

    // Defaults: the mode and bitrate follow the input.
    const Options plain = parse("- -");
    EXPECT_EQ(plain.mode, -1);
    EXPECT_EQ(plain.bitrate_kbps, 0);
    EXPECT_TRUE(plain.tags.empty());

    // No files: the demo clip, in --out's directory.
    EXPECT_TRUE(parse("").demo());
    EXPECT_EQ(parse("").output_path(), "./demo.mp2");
    EXPECT_EQ(parse("--out /tmp/x/").output_path(), "/tmp/x/demo.mp2");
    EXPECT_EQ(parse("--out=/tmp").output_path(), "/tmp/demo.mp2");
}

TEST(ToolOptions, HelpAndVersionStopWhereTheyStand) {
    EXPECT_EQ(parse("--help --frobnicate").action, Options::Action::kHelp);
    EXPECT_EQ(parse("-V in.wav").action, Options::Action::kVersion);
    EXPECT_EQ(parse("-b 999 -h").action, Options::Action::kHelp); // the bitrate is judged only at the end
    EXPECT_EQ(refusal("--frobnicate --help"), "unknown option '--frobnicate'");
}

TEST(ToolOptions, RateDependentBitrateChecks) {
    EXPECT_EQ(bitrate_refusal(44100, 1, 192), "");
    EXPECT_EQ(bitrate_refusal(22050, 1, 192),
              "192 kbit/s is not available at 22050 Hz for joint stereo (two channels); use "
              "8 16 24 32 40 48 56 64 80 96 112 128 144 160");
    EXPECT_EQ(bitrate_refusal(48000, 3, 224).rfind("224 kbit/s is not available at 48000 Hz for mono; use 32", 0), 0u);
    EXPECT_TRUE(rate_is_coded(16000));
    EXPECT_FALSE(rate_is_coded(11025));
    EXPECT_EQ(rate_list(), "16000, 22050, 24000, 32000, 44100 and 48000");
}

} // namespace
