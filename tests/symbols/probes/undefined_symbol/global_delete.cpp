// Probe: the replaceable global operator delete.
struct ProbeDeleted {
    int value;
};
void probeGlobalDelete(ProbeDeleted* p) {
    ::operator delete(p);
}
