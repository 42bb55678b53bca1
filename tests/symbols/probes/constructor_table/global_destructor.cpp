// Probe: a global object with a destructor (registered with __cxa_atexit).
struct ProbeWithDestructor {
    ~ProbeWithDestructor() { ++count; }
    static int count;
};
int ProbeWithDestructor::count = 0;
ProbeWithDestructor probeGlobalWithDestructor;
