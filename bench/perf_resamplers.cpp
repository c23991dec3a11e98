// Adapters from each library's streaming call to perf::Resampler. Settings: each library's own
// high-quality presets (soxr HQ and VHQ, speexdsp 10 and 8, libsamplerate's best and medium sinc)
// and, for liquid-dsp, its multi-stage resampler at 100 dB and its rational-rate polyphase
// resampler with a Kaiser design (cut-off at 0.9 of the output Nyquist frequency like ours, its
// length chosen so that its aliases at 1.1 times Nyquist come near ours).
#include "perf_resamplers.h"

#include "resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef PERF_HAVE_SOXR
#include <soxr.h>
#endif
#ifdef PERF_HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif
#ifdef PERF_HAVE_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef PERF_HAVE_LIQUID
#include <complex.h>
#include <liquid/liquid.h>
#endif

namespace perf {
namespace {

class Ours : public Resampler {
  public:
    Ours(int fast, int out_rate) {
        r.SetParams(fast, 64, 0.9f, 9.0f, 0.98f);
        ok = r.Init(IN_RATE, static_cast<uint32_t>(out_rate));
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        int32_t produced = 0;
        if (!ok || n * r.out_rate / r.in_rate + 2 > cap)
            return 0;
        r.Process(in, static_cast<uint32_t>(n), out, &produced);
        return static_cast<size_t>(produced);
    }

  private:
    CResample r;
    bool ok = false;
};

#ifdef PERF_HAVE_SOXR
class Soxr : public Resampler {
  public:
    Soxr(unsigned long recipe, int out_rate) {
        soxr_error_t err = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
        s = soxr_create(IN_RATE, out_rate, 1, &err, &io, &q, nullptr);
        if (err)
            s = nullptr;
    }
    ~Soxr() override {
        if (s)
            soxr_delete(s);
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        size_t made = 0;
        while (s && n > 0 && made < cap) {
            size_t used = 0, done = 0;
            soxr_process(s, in, n, &used, out + made, cap - made, &done);
            in += used;
            n -= used;
            made += done;
            if (!used && !done)
                break;
        }
        return made;
    }

  private:
    soxr_t s = nullptr;
};
#endif

#ifdef PERF_HAVE_SPEEXDSP
class Speex : public Resampler {
  public:
    Speex(int quality, int out_rate) {
        int err = 0;
        s = speex_resampler_init(1, IN_RATE, static_cast<spx_uint32_t>(out_rate), quality, &err);
    }
    ~Speex() override {
        if (s)
            speex_resampler_destroy(s);
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        size_t made = 0;
        while (s && n > 0 && made < cap) {
            spx_uint32_t used = static_cast<spx_uint32_t>(n);
            spx_uint32_t done = static_cast<spx_uint32_t>(cap - made);
            speex_resampler_process_float(s, 0, in, &used, out + made, &done);
            in += used;
            n -= used;
            made += done;
            if (!used && !done)
                break;
        }
        return made;
    }

  private:
    SpeexResamplerState* s = nullptr;
};
#endif

#ifdef PERF_HAVE_SAMPLERATE
class Lsr : public Resampler {
  public:
    Lsr(int type, int out_rate) : ratio(double(out_rate) / IN_RATE) {
        int err = 0;
        s = src_new(type, 1, &err);
    }
    ~Lsr() override {
        if (s)
            src_delete(s);
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        size_t made = 0;
        while (s && n > 0 && made < cap) {
            SRC_DATA d;
            std::memset(&d, 0, sizeof d);
            d.data_in = in;
            d.data_out = out + made;
            d.input_frames = static_cast<long>(n);
            d.output_frames = static_cast<long>(cap - made);
            d.src_ratio = ratio;
            if (src_process(s, &d) != 0)
                break;
            in += d.input_frames_used;
            n -= static_cast<size_t>(d.input_frames_used);
            made += static_cast<size_t>(d.output_frames_gen);
            if (!d.input_frames_used && !d.output_frames_gen)
                break;
        }
        return made;
    }

  private:
    SRC_STATE* s = nullptr;
    double ratio;
};
#endif

#ifdef PERF_HAVE_LIQUID
class LiquidMs : public Resampler {
  public:
    LiquidMs(float as_db, int out_rate) {
        q = msresamp_rrrf_create(float(out_rate) / IN_RATE, as_db);
    }
    ~LiquidMs() override {
        if (q)
            msresamp_rrrf_destroy(q);
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        unsigned int done = 0;
        if (!q || cap < msresamp_rrrf_get_num_output(q, static_cast<unsigned>(n)))
            return 0;
        msresamp_rrrf_execute(q, const_cast<float*>(in), static_cast<unsigned>(n), out, &done);
        return done;
    }

  private:
    msresamp_rrrf q = nullptr;
};

// Rational P/Q: takes input in blocks of Q, so a chunk's leftover waits for the next chunk.
class LiquidRational : public Resampler {
  public:
    // `band`: cut-off as a fraction of the output Nyquist frequency (liquid takes it relative
    // to the input rate). Its output gain is sqrt(Q / P); scaled back to 1.
    LiquidRational(unsigned m, float band, float as_db, int out_rate) {
        unsigned g = gcd(IN_RATE, static_cast<unsigned>(out_rate));
        p = static_cast<unsigned>(out_rate) / g;
        qd = IN_RATE / g;
        q = rresamp_rrrf_create_kaiser(p, qd, m, band * 0.5f * float(out_rate) / IN_RATE, as_db);
        if (q)
            rresamp_rrrf_set_scale(q, std::sqrt(float(p) / float(qd)));
        pending.reserve(qd);
    }
    ~LiquidRational() override {
        if (q)
            rresamp_rrrf_destroy(q);
    }
    size_t process(const float* in, size_t n, float* out, size_t cap) override {
        size_t made = 0;
        while (q && n > 0) {
            size_t take = std::min(n, size_t(qd) - pending.size());
            pending.insert(pending.end(), in, in + take);
            in += take;
            n -= take;
            if (pending.size() == qd) {
                if (made + p > cap)
                    break;
                rresamp_rrrf_execute(q, pending.data(), out + made);
                made += p;
                pending.clear();
            }
        }
        return made;
    }

  private:
    static unsigned gcd(unsigned a, unsigned b) {
        while (b) {
            unsigned t = a % b;
            a = b;
            b = t;
        }
        return a;
    }
    rresamp_rrrf q = nullptr;
    unsigned p = 1, qd = 1;
    std::vector<float> pending;
};
#endif

template <typename T, typename... A> std::function<std::unique_ptr<Resampler>(int)> maker(A... a) {
    return [=](int out_rate) { return std::unique_ptr<Resampler>(new T(a..., out_rate)); };
}

}  // namespace

std::string soxr_hq_engine() {
#ifdef PERF_HAVE_SOXR
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t s = soxr_create(IN_RATE, 48000, 1, &err, &io, &q, nullptr);
    std::string name = s && !err ? soxr_engine(s) : "";
    if (s)
        soxr_delete(s);
    return name;
#else
    return "";
#endif
}

std::vector<Contender> contenders() {
    std::vector<Contender> v;
    for (dsp::KernelPath p :
         {dsp::KernelPath::avx2, dsp::KernelPath::sse2, dsp::KernelPath::scalar})
        if (dsp::kernel_path_supported(p))
            v.push_back({std::string("ours fast (") + dsp::kernel_path_name(p) + ")", true, p,
                         maker<Ours>(1)});
    dsp::KernelPath best = dsp::KernelPath::scalar;
    for (dsp::KernelPath p : {dsp::KernelPath::sse2, dsp::KernelPath::avx2})
        if (dsp::kernel_path_supported(p))
            best = p;
    v.push_back({std::string("ours accurate (") + dsp::kernel_path_name(best) + ")", true, best,
                 maker<Ours>(0)});
#ifdef PERF_HAVE_SOXR
    v.push_back({"soxr HQ", false, best, maker<Soxr>(static_cast<unsigned long>(SOXR_HQ))});
    v.push_back({"soxr VHQ", false, best, maker<Soxr>(static_cast<unsigned long>(SOXR_VHQ))});
#endif
#ifdef PERF_HAVE_SPEEXDSP
    v.push_back({"speexdsp 10", false, best, maker<Speex>(10)});
    v.push_back({"speexdsp 8", false, best, maker<Speex>(8)});
#endif
#ifdef PERF_HAVE_SAMPLERATE
    v.push_back({"libsamplerate best", false, best, maker<Lsr>(int(SRC_SINC_BEST_QUALITY))});
    v.push_back({"libsamplerate medium", false, best, maker<Lsr>(int(SRC_SINC_MEDIUM_QUALITY))});
#endif
#ifdef PERF_HAVE_LIQUID
    v.push_back({"liquid msresamp 100 dB", false, best, maker<LiquidMs>(100.0f)});
    v.push_back({"liquid rresamp kaiser", false, best, maker<LiquidRational>(256u, 0.9f, 100.0f)});
#endif
    return v;
}

}  // namespace perf
