#include "standin/exec_level.h"

#include <string>

#include "standin/detail.h"
#include "nVOKAL.h"

namespace kal::exec {

namespace state {
__thread Level tLevel __attribute__((tls_model("initial-exec"))) = Level::thread;
__thread int tSpinLocks __attribute__((tls_model("initial-exec"))) = 0;

void failMayBlock(const char* what) {
    std::string message = std::string(what) + " may block but was called at " + name(tLevel) +
                          " level holding " + std::to_string(tSpinLocks) + " spin lock(s)";
    KAL_FAIL(message);
}
} // namespace state

const char* name(Level level) {
    switch (level) {
    case Level::thread:
        return "thread";
    case Level::dpc:
        return "DPC";
    case Level::interrupt:
        return "interrupt";
    }
    return "unknown";
}

} // namespace kal::exec
