// quality_meter — see quality_meter.h for the method.
#include "quality_meter.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>

namespace zuvo::quality {
namespace {

constexpr int kFrame = 2048;
constexpr int kHop = 1024;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDbCap = 200.0;
constexpr double kFullScaleSineSpl = 92.0;

using Complex = std::complex<double>;

// In-place iterative radix-2 FFT of size kFrame.
void fft(std::vector<Complex>& x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const Complex step = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            Complex w = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k) {
                const Complex u = x[i + k];
                const Complex v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

double bark(double f) { return 13.0 * std::atan(0.00076 * f) + 3.5 * std::atan((f / 7500.0) * (f / 7500.0)); }

// Terhardt's threshold in quiet, dB SPL.
double quiet_db(double f) {
    const double k = std::max(f, 20.0) / 1000.0;
    return 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) + 1e-3 * k * k * k * k;
}

double db_to_power(double db) { return std::pow(10.0, db / 10.0); }

double ratio_db(double num, double den) {
    if (num <= 0) return -kDbCap;
    if (den <= 0) return kDbCap;
    return std::clamp(10.0 * std::log10(num / den), -kDbCap, kDbCap);
}

// The bands, their masking and threshold constants for one sampling rate.
struct Model {
    std::vector<int> band_of_bin;     // bins 1..kFrame/2; index 0 unused
    std::vector<double> bin_quiet;    // threshold in quiet per bin (power)
    std::vector<double> quiet;        // per band (power)
    std::vector<double> offset;       // masking offset per band (power factor <= 1)
    std::vector<double> centre_hz;
    std::vector<double> lower_db;     // lower_db[i*nb+j]: attenuation from masker j to band i, level-free part
    std::vector<double> level_dz;     // 0.2 * dz for maskee above masker (dB per dB of level), else 0
    std::vector<double> norm;         // 1 / spread of a flat unit excitation
    std::vector<double> window;
    double scale = 1;                 // |X|^2 -> SPL-calibrated power
    int bands = 0;

    explicit Model(int rate) {
        window.resize(kFrame);
        double sum_w2 = 0;
        for (int n = 0; n < kFrame; ++n) {
            window[n] = 0.5 - 0.5 * std::cos(2.0 * kPi * n / kFrame);
            sum_w2 += window[n] * window[n];
        }
        // A full-scale sine puts N * sum(w^2) / 4 into the positive-frequency bins.
        scale = db_to_power(kFullScaleSineSpl) / (kFrame * sum_w2 / 4.0);

        const int bins = kFrame / 2;
        band_of_bin.assign(bins + 1, 0);
        bin_quiet.assign(bins + 1, 0);
        std::vector<double> z_sum;
        std::vector<int> z_count;
        int last_third = -1;
        for (int k = 1; k <= bins; ++k) {
            const double f = static_cast<double>(k) * rate / kFrame;
            const double z = bark(f);
            const int third = static_cast<int>(std::floor(3.0 * z));
            if (third != last_third) {
                z_sum.push_back(0);
                z_count.push_back(0);
                centre_hz.push_back(0);
                quiet.push_back(1e300);
                last_third = third;
            }
            const int b = static_cast<int>(z_sum.size()) - 1;
            band_of_bin[k] = b;
            bin_quiet[k] = db_to_power(quiet_db(f));
            quiet[b] = std::min(quiet[b], bin_quiet[k]);
            z_sum[b] += z;
            centre_hz[b] += f;
            ++z_count[b];
        }
        bands = static_cast<int>(z_sum.size());
        std::vector<double> z(bands);
        for (int b = 0; b < bands; ++b) {
            z[b] = z_sum[b] / z_count[b];
            centre_hz[b] /= z_count[b];
            offset.push_back(db_to_power(-(12.0 - 6.0 * std::min(z[b], 24.0) / 24.0)));
        }
        lower_db.assign(static_cast<std::size_t>(bands) * bands, 0);
        level_dz.assign(lower_db.size(), 0);
        norm.assign(bands, 0);
        constexpr double kReferenceLevel = 60.0;  // dB SPL, for the normalisation only
        for (int i = 0; i < bands; ++i) {
            for (int j = 0; j < bands; ++j) {
                const double dz = z[i] - z[j];
                const std::size_t ij = static_cast<std::size_t>(i) * bands + j;
                if (dz < 0) {
                    lower_db[ij] = 27.0 * -dz;
                } else {
                    lower_db[ij] = (24.0 + 230.0 / centre_hz[j]) * dz;
                    level_dz[ij] = 0.2 * dz;
                }
                norm[i] += db_to_power(-attenuation(ij, kReferenceLevel));
            }
            norm[i] = 1.0 / norm[i];
        }
    }

    // Spreading attenuation in dB from masker j (level L dB SPL) to band i.
    [[nodiscard]] double attenuation(std::size_t ij, double level) const {
        if (level_dz[ij] == 0) return lower_db[ij];
        return std::max(lower_db[ij] - level_dz[ij] * level, 4.0 * level_dz[ij] / 0.2);
    }
};

}  // namespace

int find_lag(const Audio& original, const Audio& decoded, int max_lag, int expected) {
    // Channel by channel, summed: a mono sum would vanish for material whose
    // channels are in anti-phase.
    using Channels = std::vector<std::vector<double>>;
    const auto take = [](const Audio& a, std::size_t count) {
        Channels m;
        for (const auto& ch : a.channels) m.emplace_back(ch.begin(), ch.begin() + static_cast<std::ptrdiff_t>(count));
        return m;
    };
    constexpr std::size_t kLook = std::size_t{1} << 19;
    const std::size_t lo = std::min(original.length(), kLook);
    const std::size_t ld = std::min(decoded.length(), kLook + static_cast<std::size_t>(max_lag));
    if (lo == 0 || ld == 0) return 0;
    const Channels o = take(original, lo);
    const Channels d = take(decoded, ld);

    // Normalised correlation of a[0..] with b[lag..] over their overlap.
    const auto score = [](const Channels& a, const Channels& b, std::size_t lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t c = 0; c < a.size() && c < b.size(); ++c) {
            if (lag >= b[c].size()) return -2.0;
            const std::size_t count = std::min(a[c].size(), b[c].size() - lag);
            for (std::size_t n = 0; n < count; ++n) {
                ab += a[c][n] * b[c][n + lag];
                aa += a[c][n] * a[c][n];
                bb += b[c][n + lag] * b[c][n + lag];
            }
        }
        return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : -2.0;
    };
    const auto decimate = [](const Channels& x) {
        Channels y;
        for (const auto& ch : x) {
            std::vector<double> v(ch.size() / 4);
            for (std::size_t n = 0; n < v.size(); ++n) v[n] = ch[4 * n] + ch[4 * n + 1] + ch[4 * n + 2] + ch[4 * n + 3];
            y.push_back(std::move(v));
        }
        return y;
    };
    const Channels oc = decimate(o);
    const Channels dc = decimate(d);
    int coarse = 0;
    double best = -3.0;
    for (int lag = 0; lag <= max_lag / 4; ++lag) {
        const double s = score(oc, dc, static_cast<std::size_t>(lag));
        if (s > best) best = s, coarse = 4 * lag;
    }
    int fine = coarse;
    best = -3.0;
    for (int lag = std::max(0, coarse - 6); lag <= std::min(max_lag, coarse + 6); ++lag) {
        const double s = score(o, d, static_cast<std::size_t>(lag));
        if (s > best) best = s, fine = lag;
    }
    constexpr double kLagTolerance = 0.001;
    if (expected >= 0 && expected <= max_lag && score(o, d, static_cast<std::size_t>(expected)) >= best - kLagTolerance) {
        return expected;
    }
    return fine;
}

Result measure(const Audio& original, const Audio& decoded, int lag) {
    if (original.rate != decoded.rate || original.channels.size() != decoded.channels.size() ||
        original.channels.empty() || original.rate <= 0)
        throw std::invalid_argument("original and decoded differ in rate or channel count");
    if (lag < 0 || static_cast<std::size_t>(lag) >= decoded.length() || original.length() == 0)
        throw std::invalid_argument("nothing to compare at this lag");
    const std::size_t length = std::min(original.length(), decoded.length() - static_cast<std::size_t>(lag));

    const Model model(original.rate);
    const int nb = model.bands;
    const int bins = kFrame / 2;
    const std::size_t frames = length <= kFrame ? 1 : 1 + (length - kFrame + kHop - 1) / kHop;

    double signal_energy = 0, noise_energy = 0;
    double nmr_sum = 0;
    std::size_t measured = 0, disturbed = 0;
    std::vector<double> avg_original(bins + 1, 0.0), avg_decoded(bins + 1, 0.0);
    std::vector<Complex> xo(kFrame), xd(kFrame), xn(kFrame);
    std::vector<double> eo(nb), en(nb), level(nb), band_sum(nb, 0.0);

    for (std::size_t c = 0; c < original.channels.size(); ++c) {
        const std::vector<double>& o = original.channels[c];
        const std::vector<double>& d = decoded.channels[c];
        for (std::size_t n = 0; n < length; ++n) {
            const double e = d[n + lag] - o[n];
            signal_energy += o[n] * o[n];
            noise_energy += e * e;
        }
        for (std::size_t f = 0; f < frames; ++f) {
            const std::size_t start = f * kHop;
            for (int n = 0; n < kFrame; ++n) {
                const std::size_t at = start + n;
                const double so = at < length ? o[at] : 0.0;
                const double sd = at < length ? d[at + lag] : 0.0;
                xo[n] = so * model.window[n];
                xd[n] = sd * model.window[n];
                xn[n] = (sd - so) * model.window[n];
            }
            fft(xo);
            fft(xd);
            fft(xn);
            std::fill(eo.begin(), eo.end(), 0.0);
            std::fill(en.begin(), en.end(), 0.0);
            for (int k = 1; k <= bins; ++k) {
                eo[model.band_of_bin[k]] += std::norm(xo[k]) * model.scale;
                en[model.band_of_bin[k]] += std::norm(xn[k]) * model.scale;
            }
            bool audible = false;
            for (int b = 0; b < nb; ++b) audible = audible || eo[b] >= model.quiet[b];
            if (!audible) continue;

            for (int k = 1; k <= bins; ++k) {
                avg_original[k] += std::norm(xo[k]) * model.scale;
                avg_decoded[k] += std::norm(xd[k]) * model.scale;
            }
            for (int b = 0; b < nb; ++b) level[b] = 10.0 * std::log10(eo[b] + 1e-30);
            double frame_sum = 0, frame_max = 0;
            for (int i = 0; i < nb; ++i) {
                double spread = 0;
                for (int j = 0; j < nb; ++j) {
                    if (eo[j] <= 0) continue;
                    const std::size_t ij = static_cast<std::size_t>(i) * nb + j;
                    spread += eo[j] * db_to_power(-model.attenuation(ij, level[j]));
                }
                const double mask = std::max(spread * model.norm[i] * model.offset[i], model.quiet[i]);
                const double r = en[i] / mask;
                frame_sum += r;
                band_sum[i] += r;
                frame_max = std::max(frame_max, r);
            }
            nmr_sum += frame_sum / nb;
            ++measured;
            if (frame_max > db_to_power(1.5)) ++disturbed;
        }
    }

    Result result;
    result.lag = lag;
    result.snr_db = ratio_db(signal_energy, noise_energy);
    result.nmr_db = measured ? ratio_db(nmr_sum / static_cast<double>(measured), 1.0) : -kDbCap;
    result.band_top_hz.assign(nb, 0.0);
    for (int k = 1; k <= bins; ++k) result.band_top_hz[model.band_of_bin[k]] = static_cast<double>(k) * original.rate / kFrame;
    for (int b = 0; b < nb; ++b)
        result.band_nmr_db.push_back(measured ? ratio_db(band_sum[b] / static_cast<double>(measured), 1.0) : -kDbCap);
    result.frames_over_mask = measured ? static_cast<double>(disturbed) / static_cast<double>(measured) : 0.0;
    // Audible: the band holding the bin, averaged over the measured frames.
    std::vector<double> band_original(nb, 0.0);
    for (int k = 1; k <= bins; ++k) band_original[model.band_of_bin[k]] += avg_original[k];
    for (int k = bins; k >= 1; --k) {
        const int b = model.band_of_bin[k];
        if (band_original[b] >= model.quiet[b] * static_cast<double>(measured) &&
            avg_decoded[k] >= 0.01 * avg_original[k]) {
            result.bandwidth_hz = static_cast<double>(k) * original.rate / kFrame;
            break;
        }
    }
    return result;
}

std::string format(const Result& r) {
    char line[160];
    std::snprintf(line, sizeof line, "nmr_db=%.2f frames_over_mask=%.4f snr_db=%.2f bandwidth_hz=%.0f lag=%d",
                  r.nmr_db, r.frames_over_mask, r.snr_db, r.bandwidth_hz, r.lag);
    return line;
}

}  // namespace zuvo::quality
