// MpaEncoder: configuration, stream set-up and teardown, frame geometry,
// input staging and the per-frame sequence of stages.
#include "encoder/mpa_encoder.h"

#include <cstring>
#include <new>

#include "layer2/alloc_tables.h"
#include "layer2/frame_header.h"
#include "platform/platform.h"

namespace zuvo {

const std::int32_t mono_bitrate_map[15] = {1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

namespace {

bool supported_rate(std::uint64_t rate) {
    return rate == 32000 || rate == 44100 || rate == 48000;
}

// Bytes of interleaved 16-bit PCM in one frame.
std::int32_t frame_input_bytes(std::int32_t nch) {
    return nch == 1 ? 2 * kFrameSamples : 4 * kFrameSamples;
}

}  // namespace

MpaEncoder::MpaEncoder() {
    store = new (std::nothrow) OverflowStore();
    if (store != nullptr) {
        store->create();
    }
    writer.set_store(store);
    coding.header = &header;
}

MpaEncoder::~MpaEncoder() {
    if (running) {
        release_stream();
        running = false;
    }
    if (store != nullptr) {
        store->release();
        delete store;
        store = nullptr;
    }
}

bool MpaEncoder::configure(const ZuvoMPAEncoderParams& params) {
    carry_length = 0;
    more_input = false;

    settings.mode = params.mode;
    settings.layer = 2;
    settings.bitrate_index = params.bitrate_index;
    settings.emphasis = 0;
    settings.private_bit = 0;
    settings.protection = 1;
    settings.copyright = 0;
    settings.original = 0;
    settings.sampling_rate = params.sampling_rate;

    // Free format (0) and out-of-range indices become 224 kbit/s; a single
    // channel is limited to index 10, whose header index is 96 kbit/s.
    if (settings.bitrate_index <= 0 || settings.bitrate_index >= 15) {
        settings.bitrate_index = 11;
    }
    if (settings.mode == 3 && settings.bitrate_index > 10) {
        settings.bitrate_index = 10;
    }

    bool accepted = true;
    if (settings.sampling_rate < 0 || !supported_rate(static_cast<std::uint64_t>(settings.sampling_rate))) {
        report("Audio sample rate must be 32, 44.1 or 48 kHz.");
        accepted = false;
    }
    if (settings.mode < 0 || settings.mode > 3) {
        report("Channel mode must be 0 (stereo), 1 (joint stereo), 2 (dual channel) or 3 (single channel).");
        accepted = false;
    }
    if (!accepted) {
        configured = false;
    }
    return accepted;
}

void MpaEncoder::release_stream() {
    release(sb_sample);
    release(j_sample);
    release(Win_que);
    release(subband);
    release(win_buf);
    sb_sample = nullptr;
    j_sample = nullptr;
    Win_que = nullptr;
    subband = nullptr;
    win_buf = nullptr;
    model.model_release();
    filterbank.release_filterbank();
    release_coding_params(coding);
}

bool MpaEncoder::start() {
    // A running stream is ended first: its buffers are released, and bytes of
    // an incomplete frame still carried are dropped with it.
    if (running) {
        writer.finish();
        release_stream();
        running = false;
    }
    if (!configured) {
        return false;
    }

    allocator.reset_frame_overhead();
    model.model_reset();
    filterbank.reset_filterbank();

    header.padding = 0;
    carry_length = 0;
    more_input = false;
    frames_coded = 0;

    if (!writer.init()) {
        return false;
    }

    sb_sample = static_cast<ChannelSamples*>(allocate(2 * sizeof(ChannelSamples), "sb_sample"));
    j_sample = static_cast<ChannelSamples*>(allocate(sizeof(ChannelSamples), "j_sample"));
    Win_que = static_cast<float(*)[512]>(allocate(2 * 512 * sizeof(float), "Win_que"));
    subband = static_cast<ChannelCodes*>(allocate(2 * sizeof(ChannelCodes), "subband"));
    win_buf = static_cast<const std::int16_t**>(allocate(2 * sizeof(std::int16_t*), "win_buf"));

    std::memset(pcm_frame, 0, sizeof pcm_frame);
    std::memset(allocation, 0, sizeof allocation);
    std::memset(scfsi, 0, sizeof scfsi);
    std::memset(scale_index, 0, sizeof scale_index);
    std::memset(j_scale_index, 0, sizeof j_scale_index);
    std::memset(smr, 0, sizeof smr);
    std::memset(model_row, 0, sizeof model_row);
    std::memset(pcm_history, 0, sizeof pcm_history);

    header.version = 1;
    header.layer = settings.layer;
    header.protection = settings.protection;
    header.bitrate_index =
        settings.mode == 3 ? mono_bitrate_map[settings.bitrate_index] : settings.bitrate_index;
    header.private_bit = settings.private_bit;
    header.mode = settings.mode;
    header.mode_extension = 0;
    header.copyright = settings.copyright;
    header.original = settings.original;
    header.emphasis = settings.emphasis;

    release_coding_params(coding);
    coding.header = &header;
    coding.alloc = nullptr;
    coding.table_number = -1;

    update_frame_geometry(settings.sampling_rate);

    if (sb_sample == nullptr || j_sample == nullptr || Win_que == nullptr || subband == nullptr ||
        win_buf == nullptr || coding.alloc == nullptr) {
        writer.finish();
        release_stream();
        return false;
    }
    running = true;
    return true;
}

void MpaEncoder::update_frame_geometry(std::int32_t rate) {
    switch (rate) {
        case 44100: header.sampling_frequency = 0; break;
        case 48000: header.sampling_frequency = 1; break;
        case 32000: header.sampling_frequency = 2; break;
        default: report("error sampling rate"); break;
    }
    derive_coding_params(coding);

    bits_per_slot = 8;
    samples_per_frame = kFrameSamples;
    const double bitrate = kLayer2Bitrate[header.bitrate_index];
    const double khz = kSamplingKhz[header.sampling_frequency];
    const double average = (bitrate / bits_per_slot) * (samples_per_frame / khz);
    slots_per_frame = static_cast<std::int32_t>(average);
    slot_fraction = average - slots_per_frame;
    slot_lag = -slot_fraction;
    if (slot_fraction == 0.0) {
        header.padding = 0;
    }
}

bool MpaEncoder::finish_stream() {
    if (!running) {
        return false;
    }
    writer.finish();
    release_stream();
    running = false;
    return true;
}

std::uint64_t MpaEncoder::max_output_bytes(std::uint64_t input_bytes, std::uint64_t announced) const {
    if (!running) {
        return 0;
    }
    std::int32_t frequency = header.sampling_frequency;
    if (announced > 22050 && supported_rate(announced)) {
        frequency = announced == 44100 ? 0 : announced == 48000 ? 1 : 2;
    }
    const double slots =
        kLayer2Bitrate[header.bitrate_index] / 8.0 * (kFrameSamples / static_cast<double>(kSamplingKhz[frequency]));
    // Whole slots, plus the padding slot when the average is fractional.
    const std::uint64_t whole = static_cast<std::uint64_t>(slots);
    const std::uint64_t frame_bytes = whole + (slots > static_cast<double>(whole) ? 1 : 0);
    const std::uint64_t frames =
        (static_cast<std::uint64_t>(carry_length) + input_bytes) / frame_input_bytes(coding.nch);
    return frames * frame_bytes;
}

int MpaEncoder::compress(const wavehdr_tag* wave_header, std::uint8_t* output, int* output_length) {
    if (wave_header == nullptr || output == nullptr || output_length == nullptr) {
        return 0;
    }
    if (!running) {
        *output_length = 0;
        return 0;
    }

    // A sampling rate announced in the buffer header; values of 22050 or less
    // mean "no change", and rates the format cannot code are ignored. A
    // joint-stereo stream stays joint stereo across the change.
    const std::uint64_t announced = static_cast<std::uint64_t>(wave_header->dwUser);
    if (announced > 22050 && announced != static_cast<std::uint64_t>(settings.sampling_rate) &&
        supported_rate(announced)) {
        settings.sampling_rate = static_cast<std::int32_t>(announced);
        header.mode = settings.mode;
        header.mode_extension = 0;
        update_frame_geometry(settings.sampling_rate);
    }

    input_data = reinterpret_cast<const std::uint8_t*>(wave_header->lpData);
    input_length = wave_header->dwBufferLength;
    input_offset = 0;
    if (input_length > kLargeBufferBytes) {
        report("Returned buffer size is greater than temporary audio buffer size.");
    }
    more_input = true;

    std::int64_t total = 0;
    do {
        int count = 0;
        encode_frame();
        writer.drain(output + total, count);
        total += count;
    } while (more_input);

    input_data = nullptr;
    *output_length = static_cast<int>(total);
    return 1;
}

std::int32_t MpaEncoder::take_bytes(std::int32_t count) {
    const std::uint64_t unread = input_length - input_offset;
    if (carry_length > 0) {
        const std::uint64_t needed = static_cast<std::uint64_t>(count - carry_length);
        if (unread >= needed) {
            std::memcpy(carry_buffer + carry_length, input_data + input_offset, needed);
            input_offset += needed;
            carry_length = 0;
            frame_data = carry_buffer;
            more_input = true;
            return count;
        }
        std::memcpy(carry_buffer + carry_length, input_data + input_offset, unread);
        carry_length += static_cast<std::int32_t>(unread);
    } else {
        if (unread >= static_cast<std::uint64_t>(count)) {
            frame_data = input_data + input_offset;
            input_offset += static_cast<std::uint64_t>(count);
            more_input = true;
            return count;
        }
        if (unread > 0) {
            std::memcpy(carry_buffer, input_data + input_offset, unread);
        }
        carry_length = static_cast<std::int32_t>(unread);
    }
    input_length = 0;
    input_offset = 0;
    more_input = false;
    return 0;
}

std::int32_t MpaEncoder::read_frame() {
    const std::int32_t bytes = take_bytes(frame_input_bytes(coding.nch));
    if (bytes == 0) {
        return 0;
    }
    // Samples are little-endian and may start at any byte of the caller's buffer.
    const std::uint8_t* p = frame_data;
    if (coding.nch == 2) {
        for (int i = 0; i < kFrameSamples; ++i, p += 4) {
            pcm_frame[0][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            pcm_frame[1][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2] | (p[3] << 8)));
        }
    } else {
        for (int i = 0; i < kFrameSamples; ++i, p += 2) {
            pcm_frame[0][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            pcm_frame[1][i] = 0;
        }
    }
    return bytes;
}

bool MpaEncoder::encode_frame() {
    if (read_frame() == 0) {
        return true;
    }
    const int nch = coding.nch;
    win_buf[0] = pcm_frame[0];
    win_buf[1] = pcm_frame[1];

    // Padding: the accumulator adds the fractional slot each frame and pads
    // whenever a whole slot has built up, so the average frame length matches
    // the bitrate exactly.
    if (slot_fraction != 0.0) {
        if (slot_fraction - 1.0 < slot_lag) {
            header.padding = 0;
            slot_lag -= slot_fraction;
        } else {
            header.padding = 1;
            slot_lag += 1.0 - slot_fraction;
        }
    }
    std::int32_t available_bits = (slots_per_frame + header.padding) * bits_per_slot;

    // Analysis filterbank: time slots outer, channels inner.
    for (int part = 0; part < 3; ++part) {
        for (int t = 0; t < 12; ++t) {
            for (int ch = 0; ch < nch; ++ch) {
                filterbank.window_block(ch, win_buf[ch], Win_que[ch]);
                Filterbank::matrix_block(Win_que[ch], sb_sample[ch][part][t]);
            }
        }
    }

    compute_scale_indices(sb_sample, scale_index, nch, coding.sblimit);
    if (coding.configured_mode == 1) {
        combine_joint(sb_sample, *j_sample, coding.sblimit);
        compute_scale_indices(j_sample, &j_scale_index, 1, coding.sblimit);
    }

    const float rate = kSamplingKhz[header.sampling_frequency] * 1000.0f;
    for (int ch = 0; ch < nch; ++ch) {
        model.analyze_channel(pcm_frame[ch], pcm_history[ch], ch, model_row, rate);
        std::memcpy(smr[ch], model_row, sizeof model_row);
    }

    select_scfsi(scale_index, scfsi, coding);
    allocator.allocate_frame(smr, scfsi, allocation, available_bits, coding, frames_coded < 2);
    ++frames_coded;

    std::uint32_t crc = 0;
    if (header.protection != 0) {
        compute_crc(coding, allocation, scfsi, crc);
    }
    write_header(coding, writer);
    if (header.protection != 0) {
        write_crc(crc, writer);
    }
    write_allocation(allocation, coding, writer);
    write_scale_factors(allocation, scfsi, scale_index, coding, writer);
    quantize(scale_index, sb_sample, j_scale_index, *j_sample, allocation, subband, coding);
    write_samples(subband, allocation, coding, writer);

    // The bits no field uses are zeros.
    while (available_bits >= 32) {
        writer.put_bits(0, 32);
        available_bits -= 32;
    }
    if (available_bits > 0) {
        writer.put_bits(0, available_bits);
    }
    return true;
}

}  // namespace zuvo
