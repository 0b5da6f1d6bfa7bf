// Reader/writer lock for the plug-ins' own threads.
//
// On Windows this is an SRWLOCK: the std::shared_mutex of the mingw-w64 build
// sits on winpthreads' rwlock, which deadlocks under contention (readers and
// writers stay blocked with nobody holding it). Elsewhere it is std::shared_mutex.
// Works with std::shared_lock and std::unique_lock; neither kind is recursive.
#pragma once

#include <shared_mutex>  // std::shared_lock

namespace Veltrix {

#ifdef _WIN32
class SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

private:
    void* state_ = nullptr;  // an SRWLOCK: one pointer, all zero when free
};
#else
using SharedMutex = std::shared_mutex;
#endif

}  // namespace Veltrix
