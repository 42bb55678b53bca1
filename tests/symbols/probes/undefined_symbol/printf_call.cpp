// Probe: output that bypasses the kernel layer.
#include <cstdio>
void probePrintf(int value) {
    std::printf("%d\n", value);
}
