// zuvo-mpa-encode: the command-line encoder.
//
// Reads audio (audio_source) and feeds it to the library exactly as a host
// application would: through the C interface (zuvo_mpa.h), with interleaved
// 16-bit samples; the library's flush codes the delay at the end
// (encode_loop). What it promises its user:
// - the input is never written to, whatever OUTPUT names, and an existing
//   file is replaced only with --force, once the new stream is complete
//   (output_file);
// - every input sample reaches a decoder's output: the stream is extended
//   with silence past the encoder and decoder delay;
// - input that ends early or fails to decode is reported, with its own exit
//   status, while the stream of what could be read is kept.
// This file only joins the modules.
#include "audio_source.h"
#include "common.h"
#include "compat.h"
#include "encode_loop.h"
#include "id3_tags.h"
#include "options.h"
#include "output_file.h"
#if defined(ZUVO_HAVE_SOXR)
#  include "resampler.h"
#endif
#include "batch.h"

#include "zuvo_mpa.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

using namespace zuvo_tool;

namespace {

void remove_temporary_files() {
    remove_unfinished_output();
    remove_stdin_spool();
}

// The rate a stream is coded at: -r, else chosen from the input's.
int stream_rate(const Options& options, int input_rate) {
    if (options.rate > 0) return options.rate;
#if defined(ZUVO_HAVE_SOXR)
    int rates[16];
    const std::size_t count = std::min<std::size_t>(zuvo_mpa_sample_rates(rates, 16), 16);
    return choose_stream_rate(input_rate, std::vector<int>(rates, rates + count));
#else
    return input_rate;  // no resampler here: other rates are refused
#endif
}

// Encodes one input (the demo clip when `input_path` is empty) to
// `output_path`; returns the exit code.
int encode_file(const Options& options, const std::string& input_path, const std::string& output_path, bool batch) {
    const bool demo = input_path.empty();

    // OUTPUT is judged before the input is opened (a refused OUTPUT costs no
    // copy of a pipe); nothing is created until the first bytes are ready.
    FileId input_id;
    if (!demo) input_id = input_path == "-" ? file_id_of_fd(STDIN_FILENO) : file_id_of_path(input_path);
    Output output;
    {
        std::string message;
        if (const int code = output.prepare(output_path, options.force || demo, input_id, message)) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), message.c_str());
            return code;
        }
    }

    std::unique_ptr<Source> source;
    std::string input_name;
    Conversion conversion;
    if (demo) {
        source = make_demo_source();
        input_name = "demo clip";
    } else {
        std::string message;
        source = open_input(input_path, message);
        input_name = input_path == "-" ? "standard input" : input_path;
        if (!source) {
            std::fprintf(stderr, "%s: cannot read '%s': %s\n", kProgram, input_name.c_str(), message.c_str());
            return kInputError;
        }
        if (source->channels() < 1 || source->channels() > kMaxChannels) {
            std::fprintf(stderr, "%s: '%s' has %d channels; only 1 to %d channels can be encoded\n", kProgram,
                         input_name.c_str(), source->channels(), kMaxChannels);
            return kInputError;
        }
    }

    // The stream's rate and channels; the input is converted when it has
    // other ones (beyond what the encode loop's own mono/stereo copy does).
    const int rate = stream_rate(options, source->rate());
    if (!rate_is_coded(rate)) {
        std::fprintf(stderr, "%s: '%s' is sampled at %d Hz; only %s Hz can be encoded (resample it first)\n",
                     kProgram, input_name.c_str(), source->rate(), rate_list().c_str());
        return kInputError;
    }
    const int mode = options.mode >= 0 ? options.mode : (source->channels() == 1 ? 3 : 1);
    if (source->channels() > 2 || rate != source->rate()) {
        std::string message;
        source = convert_source(std::move(source), mode == 3 ? 1 : 2, rate, options.downmix, conversion, message);
        if (!source) {
            std::fprintf(stderr, "%s: cannot encode '%s': %s\n", kProgram, input_name.c_str(), message.c_str());
            return kInputError;
        }
    }
    StreamSettings settings;
    settings.mode = mode;
    settings.kbps = options.bitrate_kbps > 0 ? options.bitrate_kbps : zuvo_mpa_default_bitrate(rate, mode);
    settings.copyright = options.copyright;
    settings.original = options.original;
    settings.emphasis = options.emphasis;
    settings.crc = options.crc;
    settings.tuning = options.tuning;
    settings.verbose = options.verbose;
    settings.wav = options.wav;
    const std::string refusal = bitrate_refusal(rate, mode, settings.kbps);
    if (!refusal.empty()) {
        report_usage_error(refusal);
        if (batch) return kUsage;
        std::exit(kUsage); // as at once, without waiting for the rest of a pipe
    }
    const Tags tags = merge_tags(options.copy_tags ? source->tags() : Tags{}, options.tags);

    Progress progress(!options.quiet && !batch && isatty(STDERR_FILENO), source->declared_frames(), source->rate());
    const auto started = std::chrono::steady_clock::now();
    const Result result = encode_stream(*source, input_name, settings, tags, output, progress);
    progress.clear();
    if (result.code != kOk) {
        output.discard();
        return result.code;
    }
    if (!output.commit()) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), output.error().c_str());
        output.discard();
        return kOutputError;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool damaged = report_damage(result, *source, input_name, output);
    if (demo) {
        const std::string full = full_path(output_path);
        std::fprintf(stderr, "%s: wrote the demo clip to %s\n", kProgram,
                     full.empty() ? output_path.c_str() : full.c_str());
    }
    if (!options.quiet) print_summary(result, *source, settings, elapsed, conversion.description, batch ? input_name : "");
    return damaged ? kDamagedInput : kOk;
}

int run(const Options& options) {
    if (!options.batch()) return encode_file(options, options.demo() ? "" : options.files[0], options.output_path(), false);
    return run_batch(options, encode_file);
}

} // namespace

int main(int argc, char** argv) {
    use_binary_stdout();
    try {
        Options options;
        try {
            options = parse_args(argc, argv);
        } catch (const UsageError& e) {
            report_usage_error(e.what());
            return kUsage;
        }
        if (options.action == Options::Action::kHelp) {
            print_usage(stdout);
            return kOk;
        }
        if (options.action == Options::Action::kVersion) {
            print_version(stdout);
            return kOk;
        }
        install_interrupt_handler(remove_temporary_files);
        return run(options);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", kProgram);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: internal error: %s\n", kProgram, e.what());
    }
    remove_temporary_files();
    return kEncoderError;
}
