// Probe: a global object with a non-trivial constructor (an .init_array entry).
// The constructor reads a volatile, so no optimiser can initialise the object
// statically instead.
volatile int probeSeed = 3;
struct ProbeWithConstructor {
    ProbeWithConstructor() : value(probeSeed) {}
    int value;
};
ProbeWithConstructor probeGlobalWithConstructor;
