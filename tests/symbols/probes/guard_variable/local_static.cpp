// Probe: a lazily initialised local static (a _ZGV guard variable).
extern int probeLocalSeed(int);
int probeLocalStatic(int x) {
    static int cached = probeLocalSeed(x);
    return cached;
}
int probeLocalSeed(int x) {
    return x + 1;
}
