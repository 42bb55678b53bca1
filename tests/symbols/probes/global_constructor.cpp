// Probe: a global object with a non-trivial constructor (an .init_array entry).
extern int probeSeed();
struct ProbeWithConstructor {
    ProbeWithConstructor() : value(probeSeed()) {}
    int value;
};
ProbeWithConstructor probeGlobalWithConstructor;
int probeSeed() { return 3; }
