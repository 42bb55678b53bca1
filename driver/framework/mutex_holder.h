// Holds a recursive driver mutex for a scope.
#pragma once

#include "platform/sync.h"

namespace kdut::internal {

class MutexHolder {
public:
    explicit MutexHolder(kelvo_driver::nVOAPAL000::tMutex& mutex) : mutex_(mutex) {
        nVOAPAL200_acquireMutex(&mutex_);
    }
    ~MutexHolder() { nVOAPAL200_releaseMutex(&mutex_); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

private:
    kelvo_driver::nVOAPAL000::tMutex& mutex_;
};

} // namespace kdut::internal
