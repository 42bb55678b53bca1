// Probe: the replaceable global operator new.
int* probeGlobalNew() {
    return new int(1);
}
