#pragma once
// Forward discrete Fourier transforms of the live spectra and the speed
// estimate.
//
// FFTW's planner keeps global state and is not thread-safe; every plan made
// or destroyed here goes through one process-wide lock, so that a transform
// planned by a test or a benchmark can never collide with the processing
// thread's planning. Executing a finished plan needs no lock.
#include <fftw3.h>

#include <memory>

namespace tav {

// Complex forward transform of n points, unscaled, planned for this one call.
// All arrays hold at least n values; for n <= 1 nothing happens. This is the
// reference that the reused plans below must agree with; the station's
// threads use RealFft instead, which neither plans nor allocates per call.
void ForwardFft(const float *realIn, const float *imagIn, int n, float *realOut, float *imagOut);

// A reused real-input forward transform of one length. Since the input is
// real, lines 0 ... n/2 carry everything a complex transform of the same
// data would give (the rest mirror them), at half the work.
//
// Construct and use on one thread at a time; the constructor plans.
class RealFft {
public:
    explicit RealFft(int n);
    ~RealFft();
    RealFft(const RealFft &) = delete;
    RealFft &operator=(const RealFft &) = delete;

    int Length() const { return n_; }
    // Transforms the first `count` values of `in` (clamped to the length),
    // with the rest of the n points zero.
    void Transform(const float *in, int count);
    // |X[k]| of the last transform, unscaled, for 0 <= k <= n/2.
    double Magnitude(int k) const;
    // X[0] ... X[n/2] of the last transform, unscaled.
    const fftw_complex *Lines() const { return out_; }

private:
    int n_;
    double *in_ = nullptr;
    fftw_complex *out_ = nullptr;
    fftw_plan plan_ = nullptr;
};

// A reused inverse complex transform of one length, unscaled: fill In(),
// call Transform(), read Out(). Construct and use on one thread at a time;
// the constructor plans.
class InverseComplexFft {
public:
    explicit InverseComplexFft(int n);
    ~InverseComplexFft();
    InverseComplexFft(const InverseComplexFft &) = delete;
    InverseComplexFft &operator=(const InverseComplexFft &) = delete;

    int Length() const { return n_; }
    fftw_complex *In() { return in_; }
    const fftw_complex *Out() const { return out_; }
    void Transform() { fftw_execute(plan_); }

private:
    int n_;
    fftw_complex *in_ = nullptr;
    fftw_complex *out_ = nullptr;
    fftw_plan plan_ = nullptr;
};

// One RealFft per power-of-two length, made on first use and kept. The
// station uses two or three lengths, so the plans are made once per run.
class FftPlanCache {
public:
    static constexpr int kMaxLog2 = 19;
    FftPlanCache();
    ~FftPlanCache();
    // The plan for n = 2^i, 0 <= i <= kMaxLog2; anything else is a caller's
    // fault and returns null.
    RealFft *ForLength(int n);

private:
    std::unique_ptr<RealFft> plans_[kMaxLog2 + 1];
};

}  // namespace tav
