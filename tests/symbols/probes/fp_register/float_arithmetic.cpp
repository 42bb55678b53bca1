// Probe: floating-point arithmetic (scalar SSE at every optimisation level).
float probeScale(float value, float factor) {
    return value * factor;
}
