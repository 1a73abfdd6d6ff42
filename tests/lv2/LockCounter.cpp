// tests/lv2: the locking and waiting functions, counted and passed on.
#include "tests/lv2/LockCounter.h"

#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QIR_LOCKS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QIR_LOCKS_SANITIZED 1
#endif
#endif

namespace {
thread_local std::size_t tLocks = 0;
thread_local int tActiveCounters = 0;

inline void noteLock() noexcept
{
    if (tActiveCounters > 0) {
        ++tLocks;
    }
}
} // namespace

namespace qirtest {

LockCounter::LockCounter() : mStart(tLocks) { ++tActiveCounters; }
LockCounter::~LockCounter() { --tActiveCounters; }
std::size_t LockCounter::count() const { return tLocks - mStart; }

bool LockCounter::counts()
{
#ifdef QIR_LOCKS_SANITIZED
    return false;
#else
    return true;
#endif
}

} // namespace qirtest

#ifndef QIR_LOCKS_SANITIZED
namespace {
// The C library's function of that name: the next definition after this one.
template <typename Function>
Function Next(Function, const char* name) noexcept
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    static const auto next = Next(&pthread_mutex_lock, "pthread_mutex_lock");
    noteLock();
    return next(mutex);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock)
{
    static const auto next = Next(&pthread_rwlock_rdlock, "pthread_rwlock_rdlock");
    noteLock();
    return next(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock)
{
    static const auto next = Next(&pthread_rwlock_wrlock, "pthread_rwlock_wrlock");
    noteLock();
    return next(lock);
}
int pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex)
{
    static const auto next = Next(&pthread_cond_wait, "pthread_cond_wait");
    noteLock();
    return next(cond, mutex);
}
int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* until)
{
    static const auto next = Next(&pthread_cond_timedwait, "pthread_cond_timedwait");
    noteLock();
    return next(cond, mutex, until);
}
int sem_wait(sem_t* sem)
{
    static const auto next = Next(&sem_wait, "sem_wait");
    noteLock();
    return next(sem);
}
int nanosleep(const struct timespec* duration, struct timespec* remaining)
{
    static const auto next = Next(&nanosleep, "nanosleep");
    noteLock();
    return next(duration, remaining);
}
int clock_nanosleep(clockid_t clock, int flags, const struct timespec* until, struct timespec* remaining)
{
    static const auto next = Next(&clock_nanosleep, "clock_nanosleep");
    noteLock();
    return next(clock, flags, until, remaining);
}
}
#endif
