// The exported functions: look the handle up, then run the encoder operation
// without holding the registry's lock.
#include <cstdio>
#include <new>

#include "ZuvoMPAEncoder.h"
#include "boundary/context_registry.h"
#include "platform/library_entry.h"

namespace {

// The process's registry: created when the library is loaded, destroyed with
// every context still in it when the library is unloaded. Null before load,
// after unload, or when it could not be allocated — every export then refuses.
zuvo::ContextRegistry* registry = nullptr;

void library_attach() {
    registry = new (std::nothrow) zuvo::ContextRegistry();
}

void library_detach() {
    zuvo::ContextRegistry* r = registry;
    registry = nullptr;
    delete r;
}

// Every message of the library passes here on its way to a host of the six
// functions. They print two kinds, with the texts they always had: the
// psychoacoustic model's lines on standard error, and their own complaints
// about a call on standard output (without a line break). Other kinds stay
// unprinted.
void print_diagnostic(void* /*context*/, zuvo::Diagnostic kind, const char* message) {
    switch (kind) {
        case zuvo::Diagnostic::kStreamSetup:
            std::fprintf(stderr, "%s\n", message);
            break;
        case zuvo::Diagnostic::kHostCall:
            std::fputs(message, stdout);
            std::fflush(stdout);
            break;
        default:
            break;
    }
}

// The encoder of a live context, or null when the handle is unknown or the
// context has no encoder.
zuvo::MpaEncoder* lookup(void* context) {
    if (registry == nullptr) {
        return nullptr;
    }
    bool found = false;
    return registry->find(context, found);
}

}  // namespace

ZUVO_LIBRARY_ENTRY(library_attach, library_detach)

void* ZuvoCreateAudioContext() {
    if (registry == nullptr) {
        return nullptr;
    }
    zuvo::MpaEncoder* encoder = new (std::nothrow) zuvo::MpaEncoder();
    if (encoder != nullptr) {
        zuvo::DiagnosticSink sink;
        sink.emit = print_diagnostic;
        encoder->set_diagnostics(sink);
    }
    bool wrapped = false;
    const std::uint32_t handle = registry->add(encoder, wrapped);
    if (wrapped) {
        print_diagnostic(nullptr, zuvo::Diagnostic::kHostCall, "create MPEG context failure");
    }
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle));
}

void ZuvoDeleteAudioContext(void* context) {
    if (registry == nullptr || context == nullptr) {
        return;
    }
    registry->remove(context);
}

int ZuvoInitAudioEncoder(void* context, ZuvoMPAEncoderParams* params) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr || params == nullptr) {
        return 0;
    }
    // A running stream ends before the new configuration is taken.
    encoder->finish_stream();
    encoder->configure(params->mode, params->bitrate_index, params->sampling_rate);
    return encoder->start() ? 1 : 0;
}

int ZuvoCompressAudioFrame(void* context, wavehdr_tag* wave_header, unsigned char* output,
                           int* output_length) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr || wave_header == nullptr) {
        return 0;
    }
    if (wave_header->lpData == nullptr) {
        print_diagnostic(nullptr, zuvo::Diagnostic::kHostCall, "audio data unavailable");
        return 0;
    }
    if (output == nullptr || output_length == nullptr) {
        return 0;
    }
    const std::int64_t written =
        encoder->compress(reinterpret_cast<const std::uint8_t*>(wave_header->lpData), wave_header->dwBufferLength,
                          static_cast<std::uint64_t>(wave_header->dwUser), output);
    if (written < 0) {
        *output_length = 0;  // no stream running
        return 0;
    }
    *output_length = static_cast<int>(written);
    return 1;
}

int ZuvoFinishAudio(void* context) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr) {
        return 0;
    }
    return encoder->finish_stream() ? 1 : 0;
}

int ZuvoFinishEncoder(void* context) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr) {
        return 0;
    }
    if (encoder->configured() && encoder->running()) {
        encoder->finish_stream();
    }
    return 1;
}

int ZuvoMaxOutputBytes(void* context, unsigned int input_bytes) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr) {
        return 0;
    }
    return static_cast<int>(encoder->max_output_bytes(input_bytes));
}

int ZuvoCompressAudioFrameBounded(void* context, wavehdr_tag* wave_header, unsigned char* output,
                                  int output_capacity, int* output_length) {
    zuvo::MpaEncoder* encoder = lookup(context);
    if (encoder == nullptr || wave_header == nullptr || output_length == nullptr || output_capacity < 0) {
        return 0;
    }
    if (wave_header->lpData != nullptr &&
        encoder->max_output_bytes(wave_header->dwBufferLength, wave_header->dwUser) >
            static_cast<std::uint64_t>(output_capacity)) {
        return 0;
    }
    return ZuvoCompressAudioFrame(context, wave_header, output, output_length);
}
