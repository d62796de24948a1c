#include "core/dsp/Fft.h"

#include <cmath>
#include <mutex>

namespace tav {

namespace {
std::mutex &PlannerMutex()
{
    static std::mutex m;
    return m;
}
}  // namespace

void ForwardFft(const float *realIn, const float *imagIn, int n, float *realOut, float *imagOut)
{
    if (n <= 1)
        return;
    auto *in = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * n));
    auto *out = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * n));
    if (!in || !out) {
        fftw_free(in);
        fftw_free(out);
        return;
    }
    fftw_plan plan;
    {
        std::lock_guard<std::mutex> lock(PlannerMutex());
        plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    for (int i = 0; i < n; ++i) {
        in[i][0] = realIn[i];
        in[i][1] = imagIn[i];
    }
    fftw_execute(plan);
    for (int i = 0; i < n; ++i) {
        realOut[i] = static_cast<float>(out[i][0]);
        imagOut[i] = static_cast<float>(out[i][1]);
    }
    {
        std::lock_guard<std::mutex> lock(PlannerMutex());
        fftw_destroy_plan(plan);
    }
    fftw_free(in);
    fftw_free(out);
}

RealFft::RealFft(int n) : n_(n < 1 ? 1 : n)
{
    in_ = static_cast<double *>(fftw_malloc(sizeof(double) * n_));
    out_ = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * (n_ / 2 + 1)));
    std::lock_guard<std::mutex> lock(PlannerMutex());
    // Estimate-only planning: it never runs trial transforms, so it is quick
    // and leaves the buffers untouched.
    plan_ = fftw_plan_dft_r2c_1d(n_, in_, out_, FFTW_ESTIMATE);
}

RealFft::~RealFft()
{
    {
        std::lock_guard<std::mutex> lock(PlannerMutex());
        fftw_destroy_plan(plan_);
    }
    fftw_free(in_);
    fftw_free(out_);
}

void RealFft::Transform(const float *in, int count)
{
    if (count > n_)
        count = n_;
    if (count < 0)
        count = 0;
    for (int i = 0; i < count; ++i)
        in_[i] = in[i];
    for (int i = count; i < n_; ++i)
        in_[i] = 0.0;
    fftw_execute(plan_);
}

double RealFft::Magnitude(int k) const
{
    return std::sqrt(out_[k][0] * out_[k][0] + out_[k][1] * out_[k][1]);
}

InverseComplexFft::InverseComplexFft(int n) : n_(n < 1 ? 1 : n)
{
    in_ = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * n_));
    out_ = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * n_));
    std::lock_guard<std::mutex> lock(PlannerMutex());
    plan_ = fftw_plan_dft_1d(n_, in_, out_, FFTW_BACKWARD, FFTW_ESTIMATE);
}

InverseComplexFft::~InverseComplexFft()
{
    {
        std::lock_guard<std::mutex> lock(PlannerMutex());
        fftw_destroy_plan(plan_);
    }
    fftw_free(in_);
    fftw_free(out_);
}

FftPlanCache::FftPlanCache() = default;
FftPlanCache::~FftPlanCache() = default;

RealFft *FftPlanCache::ForLength(int n)
{
    for (int i = 0; i <= kMaxLog2; ++i) {
        if ((1 << i) == n) {
            if (!plans_[i])
                plans_[i] = std::make_unique<RealFft>(n);
            return plans_[i].get();
        }
    }
    return nullptr;
}

}  // namespace tav
