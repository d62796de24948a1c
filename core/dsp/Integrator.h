#pragma once
// The integrator that turns acceleration into velocity and velocity into
// displacement: a first-order recursive low-pass with its corner at 1 rad/s
// (1/(2*pi) Hz). Above the corner it integrates with unit gain; below it the
// gain levels off, so a sensor's small DC offset cannot make the output run
// away as a pure integrator would.

namespace tav {

struct Integrator {
    double previousOutput = 0;
    double previousInput = 0;
};

struct IntegratorCoefficients {
    double a = 0;  // weight of the current and previous input
    double b = 0;  // weight of the previous output
};

// Coefficients for a sampling frequency `fs` in Hz (fs > 0).
IntegratorCoefficients MakeIntegratorCoefficients(double fs);

// One step: returns the new output and remembers input and output.
inline double IntegratorStep(float x, Integrator &s, double a, double b)
{
    double y = a * (x + s.previousInput) + b * s.previousOutput;
    s.previousInput = x;
    s.previousOutput = y;
    return y;
}

}  // namespace tav
