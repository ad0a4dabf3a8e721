#include "support/frame_reader.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace zuvo_test {
namespace {

constexpr int kBitrates[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr int kRates[3] = {44100, 48000, 32000};
// MPEG-2 lower sampling frequencies (ID bit 0).
constexpr int kLsfBitrates[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr int kLsfRates[3] = {22050, 24000, 16000};

// One run of subbands sharing an allocation-field width and a list of step
// counts for indices 1, 2, ...
struct SubbandRun {
    int first;
    int last;
    int nbal;
    const int* steps; // 2^nbal - 1 entries
};

constexpr int kStepsA0[15] = {3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
constexpr int kStepsA1[15] = {3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535};
constexpr int kStepsA2[7] = {3, 5, 7, 9, 15, 31, 65535};
constexpr int kStepsA3[3] = {3, 5, 65535};
constexpr int kStepsC0[15] = {3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
constexpr int kStepsC1[7] = {3, 5, 9, 15, 31, 63, 127};
constexpr int kStepsE0[15] = {3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383};
constexpr int kStepsE2[3] = {3, 5, 9};

// Tables a and b differ only in how far the last run reaches; so do c and d.
constexpr SubbandRun kTableA[] = {{0, 2, 4, kStepsA0}, {3, 10, 4, kStepsA1}, {11, 22, 3, kStepsA2}, {23, 26, 2, kStepsA3}};
constexpr SubbandRun kTableB[] = {{0, 2, 4, kStepsA0}, {3, 10, 4, kStepsA1}, {11, 22, 3, kStepsA2}, {23, 29, 2, kStepsA3}};
constexpr SubbandRun kTableC[] = {{0, 1, 4, kStepsC0}, {2, 7, 3, kStepsC1}};
constexpr SubbandRun kTableD[] = {{0, 1, 4, kStepsC0}, {2, 11, 3, kStepsC1}};
// The one table of the lower sampling frequencies.
constexpr SubbandRun kTableE[] = {{0, 3, 4, kStepsE0}, {4, 10, 3, kStepsC1}, {11, 29, 2, kStepsE2}};

const SubbandRun* find_run(int table, int subband) {
    const SubbandRun* begin = nullptr;
    std::size_t count = 0;
    switch (table) {
    case 0: begin = kTableA; count = std::size(kTableA); break;
    case 1: begin = kTableB; count = std::size(kTableB); break;
    case 2: begin = kTableC; count = std::size(kTableC); break;
    case 3: begin = kTableD; count = std::size(kTableD); break;
    case 4: begin = kTableE; count = std::size(kTableE); break;
    default: return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (subband >= begin[i].first && subband <= begin[i].last) return &begin[i];
    }
    return nullptr;
}

// printf-style text; every integer argument is passed as long long (%lld).
template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

// One template: std::size_t and std::uint32_t are the same type on 32-bit targets.
template <typename Integer>
long long ll(Integer value) { return static_cast<long long>(value); }

// Reads bits most significant first from [begin, begin + bytes).
class BitCursor {
public:
    BitCursor(const std::uint8_t* begin, std::size_t bytes) : data_(begin), total_bits_(bytes * 8) {}

    bool read(int width, std::uint32_t& value) {
        if (width < 0 || static_cast<std::size_t>(width) > total_bits_ - position_) return false;
        value = 0;
        for (int i = 0; i < width; ++i) value = (value << 1) | bit_at(position_++);
        return true;
    }
    std::uint32_t bit_at(std::size_t bit) const { return (data_[bit >> 3] >> (7 - (bit & 7))) & 1u; }
    std::size_t position() const { return position_; }
    void seek(std::size_t bit) { position_ = bit; }
    std::size_t total_bits() const { return total_bits_; }

private:
    const std::uint8_t* data_;
    std::size_t total_bits_;
    std::size_t position_ = 0;
};

constexpr std::size_t kMaxErrorsPerFrame = 16;

void add_error(FrameInfo& frame, std::string text) {
    if (frame.errors.size() < kMaxErrorsPerFrame) {
        frame.errors.push_back(std::move(text));
    } else if (frame.errors.size() == kMaxErrorsPerFrame) {
        frame.errors.push_back("further errors in this frame suppressed");
    }
}

bool header_at(const std::uint8_t* p) { return p[0] == 0xFF && (p[1] & 0xF0) == 0xF0; }

// Parses the fields after the header. Returns false when the frame's data
// overrun its length (reported as an error).
void parse_audio_data(const std::uint8_t* frame_bytes, FrameInfo& frame, std::size_t ancillary_bytes) {
    BitCursor bits(frame_bytes, frame.length);
    const bool has_crc = frame.protection_bit == 0;
    bits.seek(has_crc ? 48 : 32);
    const int nch = frame.channels;
    const int sblimit = frame.sblimit;
    const int bound = frame.bound;
    auto overrun = [&frame](const char* what) {
        add_error(frame, std::string("frame data overrun the frame length while reading ") + what);
    };

    // Allocation fields: one per channel below the bound, one shared above it.
    for (int sb = 0; sb < sblimit; ++sb) {
        const int nbal = layer2_nbal(frame.table, sb);
        for (int ch = 0; ch < (sb < bound ? nch : 1); ++ch) {
            std::uint32_t index = 0;
            if (!bits.read(nbal, index)) return overrun("allocation");
            frame.allocation[ch][sb] = static_cast<int>(index);
            if (index != 0 && layer2_quantizer(frame.table, sb, static_cast<int>(index)).steps == 0) {
                add_error(frame, format("allocation index %lld of subband %lld channel %lld not in the table",
                                        ll(index), ll(sb), ll(ch)));
            }
        }
        if (sb >= bound && nch == 2) frame.allocation[1][sb] = frame.allocation[0][sb];
    }

    // Scale-factor selection information of every coded subband and channel.
    for (int sb = 0; sb < sblimit; ++sb) {
        for (int ch = 0; ch < nch; ++ch) {
            if (frame.allocation[ch][sb] == 0) continue;
            std::uint32_t value = 0;
            if (!bits.read(2, value)) return overrun("scale-factor selection information");
            frame.scfsi[ch][sb] = static_cast<int>(value);
        }
    }
    const std::size_t crc_end = bits.position();

    if (has_crc) {
        std::uint16_t crc = 0xFFFF;
        for (std::size_t bit = 16; bit < 32; ++bit) crc = crc16_update(crc, bits.bit_at(bit), 1);
        for (std::size_t bit = 48; bit < crc_end; ++bit) crc = crc16_update(crc, bits.bit_at(bit), 1);
        frame.crc_computed = crc;
        if (crc != frame.crc_stored) {
            add_error(frame, format("CRC mismatch: stored 0x%04llx, computed 0x%04llx", ll(int{frame.crc_stored}), ll(int{crc})));
        }
    }

    // Scale factors: three, two or one per coded subband and channel.
    for (int sb = 0; sb < sblimit; ++sb) {
        for (int ch = 0; ch < nch; ++ch) {
            if (frame.allocation[ch][sb] == 0) continue;
            const int count = frame.scfsi[ch][sb] == 0 ? 3 : frame.scfsi[ch][sb] == 2 ? 1 : 2;
            for (int i = 0; i < count; ++i) {
                std::uint32_t index = 0;
                if (!bits.read(6, index)) return overrun("scale factors");
                if (index == 63) {
                    add_error(frame, format("scale factor 63 (invalid) in subband %lld channel %lld", ll(sb), ll(ch)));
                }
            }
        }
    }

    // Sample codes: 12 granules of three samples, subband by subband.
    for (int granule = 0; granule < 12; ++granule) {
        for (int sb = 0; sb < sblimit; ++sb) {
            for (int ch = 0; ch < (sb < bound ? nch : 1); ++ch) {
                const int index = frame.allocation[ch][sb];
                if (index == 0) continue;
                const Quantizer q = layer2_quantizer(frame.table, sb, index);
                if (q.steps == 0) continue; // already reported
                if (q.grouped) {
                    std::uint32_t code = 0;
                    if (!bits.read(q.bits, code)) return overrun("sample codes");
                    const std::uint32_t limit = static_cast<std::uint32_t>(q.steps * q.steps * q.steps);
                    if (code >= limit) {
                        add_error(frame, format("grouped code %lld >= %lld in subband %lld granule %lld", ll(code),
                                                ll(limit), ll(sb), ll(granule)));
                    }
                } else {
                    for (int s = 0; s < 3; ++s) {
                        std::uint32_t code = 0;
                        if (!bits.read(q.bits, code)) return overrun("sample codes");
                        if (code >= static_cast<std::uint32_t>(q.steps)) {
                            add_error(frame, format("sample code %lld >= %lld steps in subband %lld granule %lld",
                                                    ll(code), ll(q.steps), ll(sb), ll(granule)));
                        }
                    }
                }
            }
        }
    }

    frame.payload_bits = bits.position();
    // The ancillary bytes close the frame; the bits between them and the last
    // sample code are zero.
    const std::size_t ancillary_bits = 8 * ancillary_bytes;
    if (bits.total_bits() - bits.position() < ancillary_bits) {
        add_error(frame, format("audio data reach into the %lld ancillary bytes", ll(ancillary_bytes)));
        return;
    }
    const std::size_t fill_end = bits.total_bits() - ancillary_bits;
    frame.ancillary.assign(frame_bytes + fill_end / 8, frame_bytes + frame.length);
    frame.fill_bits = fill_end - bits.position();
    std::size_t first_one = fill_end;
    for (std::size_t bit = bits.position(); bit < fill_end; ++bit) {
        if (bits.bit_at(bit)) {
            first_one = bit;
            break;
        }
    }
    if (first_one != fill_end) {
        add_error(frame, format("fill bit %lld of %lld after the last sample code is not zero",
                                ll(first_one - frame.payload_bits), ll(frame.fill_bits)));
    }
}

} // namespace

std::uint16_t crc16_update(std::uint16_t crc, std::uint32_t value, int width) {
    std::uint32_t reg = crc;
    for (int i = width - 1; i >= 0; --i) {
        const std::uint32_t in = (value >> i) & 1u;
        const std::uint32_t top = (reg >> 15) & 1u;
        reg = (reg << 1) & 0xFFFFu;
        if (top != in) reg ^= 0x8005u;
    }
    return static_cast<std::uint16_t>(reg);
}

int layer2_bitrate_kbps(int bitrate_index, int id) {
    if (bitrate_index < 1 || bitrate_index > 14) return 0;
    return id == 1 ? kBitrates[bitrate_index] : kLsfBitrates[bitrate_index];
}

int layer2_sampling_rate(int sampling_index, int id) {
    if (sampling_index < 0 || sampling_index > 2) return 0;
    return id == 1 ? kRates[sampling_index] : kLsfRates[sampling_index];
}

std::size_t layer2_frame_bytes(int bitrate_kbps, int sampling_rate, int padding) {
    if (sampling_rate <= 0) return 0;
    return static_cast<std::size_t>(144000LL * bitrate_kbps / sampling_rate) + static_cast<std::size_t>(padding);
}

int layer2_alloc_table(int bitrate_kbps, int channels, int sampling_rate) {
    if (sampling_rate < 32000) return 4;
    const int per_channel = bitrate_kbps / (channels > 0 ? channels : 1);
    if (per_channel <= 48) return sampling_rate == 32000 ? 3 : 2;
    if (per_channel <= 80) return 0;
    return sampling_rate == 48000 ? 0 : 1;
}

int layer2_sblimit(int table) {
    static constexpr int limits[5] = {27, 30, 8, 12, 30};
    return table >= 0 && table < 5 ? limits[table] : 0;
}

int layer2_nbal(int table, int subband) {
    const SubbandRun* run = find_run(table, subband);
    return run ? run->nbal : 0;
}

Quantizer layer2_quantizer(int table, int subband, int index) {
    Quantizer q;
    const SubbandRun* run = find_run(table, subband);
    if (!run || index <= 0 || index >= (1 << run->nbal)) return q;
    q.steps = run->steps[index - 1];
    switch (q.steps) {
    case 3: q.bits = 5; q.grouped = true; break;
    case 5: q.bits = 7; q.grouped = true; break;
    case 9: q.bits = 10; q.grouped = true; break;
    default:
        // 2^n - 1 steps, each sample in its own n-bit codeword.
        while ((1 << q.bits) <= q.steps) ++q.bits;
        break;
    }
    return q;
}

bool StreamReport::ok() const { return error_count() == 0; }

std::size_t StreamReport::error_count() const {
    std::size_t count = errors.size();
    for (const FrameInfo& frame : frames) count += frame.errors.size();
    return count;
}

std::string StreamReport::describe(std::size_t max_lines) const {
    std::ostringstream out;
    out << frames.size() << " frames, " << error_count() << " errors";
    std::size_t lines = 0;
    for (const std::string& e : errors) {
        if (lines++ >= max_lines) break;
        out << "\n  stream: " << e;
    }
    for (std::size_t i = 0; i < frames.size() && lines < max_lines; ++i) {
        for (const std::string& e : frames[i].errors) {
            if (lines++ >= max_lines) break;
            out << "\n  frame " << i << " @" << frames[i].offset << ": " << e;
        }
    }
    if (error_count() > max_lines) out << "\n  ...";
    return out.str();
}

StreamReport read_layer2_stream(const std::vector<std::uint8_t>& data, std::size_t ancillary_bytes) {
    return read_layer2_stream(data.data(), data.size(), ancillary_bytes);
}

StreamReport read_layer2_stream(const std::uint8_t* data, std::size_t size, std::size_t ancillary_bytes) {
    StreamReport report;
    std::size_t offset = 0;
    // Padding keeps the mean frame length at 144000 * kbps / rate bytes: the
    // bytes written so far may never be a whole byte ahead or behind.
    double drift = 0.0;
    double drift_bytes = 0.0;
    int drift_bitrate = -1;
    int drift_rate = -1;
    bool drift_reported = false;

    while (offset < size) {
        if (size - offset < 4) {
            report.errors.push_back(format("%lld stray bytes at the end of the stream (offset %lld)",
                                           ll(size - offset), ll(offset)));
            break;
        }
        const std::uint8_t* p = data + offset;
        if (!header_at(p)) {
            std::string text = format("no sync word at offset %lld", ll(offset));
            for (std::size_t probe = 1; probe < 4096; ++probe) {
                if (offset >= probe && header_at(data + offset - probe)) {
                    text += format(" (nearest sync pattern %lld bytes earlier: the previous frame may be too short)",
                                   ll(probe));
                    break;
                }
                if (offset + probe + 1 < size && header_at(data + offset + probe)) {
                    text += format(" (nearest sync pattern %lld bytes later: the previous frame may be too long)",
                                   ll(probe));
                    break;
                }
            }
            report.errors.push_back(text);
            break;
        }

        FrameInfo frame;
        frame.offset = offset;
        const std::uint32_t header = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
        frame.id = static_cast<int>((header >> 19) & 1);
        frame.layer_code = static_cast<int>((header >> 17) & 3);
        frame.protection_bit = static_cast<int>((header >> 16) & 1);
        frame.bitrate_index = static_cast<int>((header >> 12) & 15);
        frame.sampling_index = static_cast<int>((header >> 10) & 3);
        frame.padding = static_cast<int>((header >> 9) & 1);
        frame.private_bit = static_cast<int>((header >> 8) & 1);
        frame.mode = static_cast<int>((header >> 6) & 3);
        frame.mode_extension = static_cast<int>((header >> 4) & 3);
        frame.copyright = static_cast<int>((header >> 3) & 1);
        frame.original = static_cast<int>((header >> 2) & 1);
        frame.emphasis = static_cast<int>(header & 3);

        bool readable = true;
        if (frame.layer_code != 2) {
            add_error(frame, format("layer code %lld is not Layer II", ll(frame.layer_code)));
            readable = false;
        }
        if (frame.protection_bit != 0) frame.warnings.push_back("protection bit is 1: no CRC check word");
        frame.bitrate_kbps = layer2_bitrate_kbps(frame.bitrate_index, frame.id);
        if (frame.bitrate_kbps == 0) {
            add_error(frame, format("bitrate index %lld (free format or forbidden)", ll(frame.bitrate_index)));
            readable = false;
        }
        frame.sampling_rate = layer2_sampling_rate(frame.sampling_index, frame.id);
        if (frame.sampling_rate == 0) {
            add_error(frame, "sampling frequency index 3 (reserved)");
            readable = false;
        }
        if (frame.emphasis == 2) add_error(frame, "emphasis 2 (reserved)");
        if (frame.mode != 1 && frame.mode_extension != 0) {
            frame.warnings.push_back(format("mode extension %lld in a frame that is not joint stereo",
                                            ll(frame.mode_extension)));
        }

        if (!readable) {
            report.frames.push_back(std::move(frame));
            report.errors.push_back(format("cannot read on past the frame at offset %lld", ll(offset)));
            break;
        }

        frame.channels = frame.mode == 3 ? 1 : 2;
        const bool single = frame.mode == 3;
        const int kbps = frame.bitrate_kbps;
        if (frame.id == 1 && single && kbps >= 224) {
            frame.warnings.push_back(format("%lld kbit/s is not permitted for single channel", ll(kbps)));
        }
        if (frame.id == 1 && !single && (kbps == 32 || kbps == 48 || kbps == 56 || kbps == 80)) {
            frame.warnings.push_back(format("%lld kbit/s is only permitted for single channel", ll(kbps)));
        }
        frame.length = layer2_frame_bytes(kbps, frame.sampling_rate, frame.padding);
        frame.table = layer2_alloc_table(kbps, frame.channels, frame.sampling_rate);
        frame.sblimit = layer2_sblimit(frame.table);
        frame.bound = frame.sblimit;
        if (frame.mode == 1) {
            const int bound = 4 * (frame.mode_extension + 1);
            frame.bound = bound < frame.sblimit ? bound : frame.sblimit;
        }

        if (frame.length > size - offset) {
            report.errors.push_back(format("truncated frame at offset %lld: %lld bytes, only %lld left",
                                           ll(offset), ll(frame.length),
                                           ll(size - offset)));
            report.frames.push_back(std::move(frame));
            break;
        }
        frame.crc_stored = static_cast<std::uint16_t>((p[4] << 8) | p[5]);
        parse_audio_data(p, frame, ancillary_bytes);

        if (frame.bitrate_kbps != drift_bitrate || frame.sampling_rate != drift_rate) {
            drift = 0.0;
            drift_bytes = 0.0;
            drift_bitrate = frame.bitrate_kbps;
            drift_rate = frame.sampling_rate;
        }
        drift += static_cast<double>(frame.length) - 144000.0 * frame.bitrate_kbps / frame.sampling_rate;
        drift_bytes += static_cast<double>(frame.length);
        // One byte of drift, plus 40 parts per billion of the bytes so far: an
        // encoder may hold 44.1 kHz as the nearest single-precision value,
        // whose frames are 35 ppb longer than the exact rate's.
        const bool whole_frames = (144000LL * frame.bitrate_kbps) % frame.sampling_rate == 0;
        if (!drift_reported && ((whole_frames && frame.padding != 0) ||
                                std::fabs(drift) >= 1.0 - 1e-9 + 4e-8 * drift_bytes)) {
            drift_reported = true;
            report.errors.push_back(format("padding bits wrong: after frame %lld the stream is %.3f bytes %s the mean rate",
                                           ll(report.frames.size()), std::fabs(drift),
                                           drift > 0 ? "above" : "below"));
        }

        offset += frame.length;
        report.frames.push_back(std::move(frame));
    }
    return report;
}

} // namespace zuvo_test
