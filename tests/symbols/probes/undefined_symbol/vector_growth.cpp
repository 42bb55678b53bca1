// Probe: standard-library container growth.
#include <vector>
void probeVector(std::vector<int>& values) {
    values.push_back(1);
}
