// Mutexes, events and semaphores of the POSIX backend.
//
// - An event is an eventfd: set writes to it, reset drains it, a wait polls it
//   without consuming, so it stays set for every waiter (manual reset). A
//   device process that received the descriptor signals it by writing too.
// - A mutex is a recursive, robust pthread mutex: the next locker of a mutex
//   whose owner ended while holding it learns so (Abandoned) and owns it.
// - A semaphore is a counter under a mutex and condition variable that
//   enforces its maximum count.
// Every wait runs against a monotonic deadline and resumes after EINTR.
#include "platform/posix/error_mapping.h"
#include "platform/posix/library_descriptors.h"
#include "platform/posix/object_table.h"
#include "spin_wait.h"

#include "hbsys9u.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace hb::platform {

using namespace posix;

namespace {

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec addMilliseconds(timespec t, uint32_t milliseconds) {
    t.tv_sec += milliseconds / 1000;
    t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Time left until `deadline`, never negative.
timespec remainingUntil(const timespec& deadline) {
    timespec now = monotonicNow();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) {
        return timespec{0, 0};
    }
    return left;
}

uint32_t currentTid() {
    return static_cast<uint32_t>(gettid());
}

class EventObject final : public Object {
  public:
    explicit EventObject(int fd) : Object(ObjectKind::Event), fd_(fd) {}
    ~EventObject() override { closeClaimedDescriptor(fd_); }
    int fd() const { return fd_; }

    bool set() {
        uint64_t one = 1;
        // EAGAIN means the counter is saturated: the event is set already.
        if (write(fd_, &one, sizeof one) < 0 && errno != EAGAIN) {
            setLastErrorFromErrno(errno);
            return false;
        }
        return true;
    }

    bool reset() {
        uint64_t value = 0;
        if (read(fd_, &value, sizeof value) < 0 && errno != EAGAIN) {
            setLastErrorFromErrno(errno);
            return false;
        }
        return true;
    }

    WaitOutcome wait(uint32_t milliseconds) {
        pollfd pfd{fd_, POLLIN, 0};
        if (milliseconds != 0 && spin_.look([&] { return ::poll(&pfd, 1, 0) > 0; })) {
            return (pfd.revents & POLLIN) ? WaitOutcome::Signalled : WaitOutcome::Failed;
        }
        const bool infinite = milliseconds == kInfiniteWait;
        const timespec deadline = addMilliseconds(monotonicNow(), infinite ? 0 : milliseconds);
        for (;;) {
            timespec left = remainingUntil(deadline);
            int rc = ppoll(&pfd, 1, infinite ? nullptr : &left, nullptr);
            if (rc > 0) {
                return (pfd.revents & POLLIN) ? WaitOutcome::Signalled : WaitOutcome::Failed;
            }
            if (rc == 0) {
                return WaitOutcome::TimedOut;
            }
            if (errno != EINTR) {
                setLastErrorFromErrno(errno);
                return WaitOutcome::Failed;
            }
        }
    }

  private:
    int fd_;
    wire::SpinBudget spin_;
};

class MutexObject final : public Object {
  public:
    MutexObject() : Object(ObjectKind::Mutex), mutex_(new pthread_mutex_t) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }

    ~MutexObject() override {
        // A thread that still holds a robust mutex keeps it on its robust
        // list, which the kernel walks when that thread ends: the storage
        // must stay valid, so a held mutex is left allocated.
        if (owner_.load() != 0) {
            return;
        }
        pthread_mutex_destroy(mutex_);
        delete mutex_;
    }

    WaitOutcome wait(uint32_t milliseconds) {
        int rc;
        if (milliseconds == kInfiniteWait) {
            rc = pthread_mutex_lock(mutex_);
        } else if (milliseconds == 0) {
            rc = pthread_mutex_trylock(mutex_);
            if (rc == EBUSY) {
                rc = ETIMEDOUT;
            }
        } else {
            rc = timedLock(addMilliseconds(monotonicNow(), milliseconds));
        }
        switch (rc) {
        case 0:
            noteAcquired();
            return WaitOutcome::Signalled;
        case EOWNERDEAD:
            // The previous owner ended while holding it; it is ours now and
            // stays usable for everyone after us.
            pthread_mutex_consistent(mutex_);
            depth_ = 0;
            noteAcquired();
            return WaitOutcome::Abandoned;
        case ETIMEDOUT:
            return WaitOutcome::TimedOut;
        default:
            setLastErrorFromErrno(rc);
            return WaitOutcome::Failed;
        }
    }

    bool release() {
        if (owner_.load() != currentTid()) {
            setLastError(HB_ERROR_NOT_OWNER);
            return false;
        }
        if (--depth_ == 0) {
            owner_.store(0);
        }
        int rc = pthread_mutex_unlock(mutex_);
        if (rc != 0) {
            setLastError(rc == EPERM ? HB_ERROR_NOT_OWNER : win32ErrorFromErrno(rc));
            return false;
        }
        return true;
    }

  private:
    // The deadline is monotonic; each slice waits against the wall clock,
    // which pthread_mutex_timedlock takes, for at most 50 ms, so a clock
    // change can shift the end of the wait by one slice at most.
    int timedLock(const timespec& deadline) {
        for (;;) {
            timespec left = remainingUntil(deadline);
            if (left.tv_sec == 0 && left.tv_nsec == 0) {
                int rc = pthread_mutex_trylock(mutex_);
                return rc == EBUSY ? ETIMEDOUT : rc;
            }
            constexpr long kSliceNs = 50'000'000;
            if (left.tv_sec > 0 || left.tv_nsec > kSliceNs) {
                left = timespec{0, kSliceNs};
            }
            timespec wallDeadline{};
            clock_gettime(CLOCK_REALTIME, &wallDeadline);
            wallDeadline.tv_nsec += left.tv_nsec;
            if (wallDeadline.tv_nsec >= 1000000000L) {
                wallDeadline.tv_sec += 1;
                wallDeadline.tv_nsec -= 1000000000L;
            }
            int rc = pthread_mutex_timedlock(mutex_, &wallDeadline);
            if (rc != ETIMEDOUT) {
                return rc;
            }
        }
    }

    void noteAcquired() {
        owner_.store(currentTid());
        ++depth_;
    }

    pthread_mutex_t* mutex_;
    std::atomic<uint32_t> owner_{0};
    uint32_t depth_ = 0; // touched only by the owner
};

class SemaphoreObject final : public Object {
  public:
    SemaphoreObject(int32_t initial, int32_t maximum)
        : Object(ObjectKind::Semaphore), count_(initial), maximum_(maximum) {}

    WaitOutcome wait(uint32_t milliseconds) {
        std::unique_lock lock(mutex_);
        auto available = [this] { return count_ > 0; };
        if (milliseconds == kInfiniteWait) {
            changed_.wait(lock, available);
        } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), available)) {
            return WaitOutcome::TimedOut;
        }
        --count_;
        return WaitOutcome::Signalled;
    }

    bool release() {
        {
            std::lock_guard lock(mutex_);
            if (count_ >= maximum_) {
                setLastError(HB_ERROR_TOO_MANY_POSTS);
                return false;
            }
            ++count_;
        }
        changed_.notify_one();
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int32_t count_;
    int32_t maximum_;
};

template <class T> Handle enter(std::shared_ptr<T> object) {
    return insertObject(std::move(object));
}

bool invalidHandle() {
    setLastError(HB_ERROR_INVALID_HANDLE);
    return false;
}

} // namespace

Handle createMutex() {
    try {
        return enter(std::make_shared<MutexObject>());
    } catch (const std::bad_alloc&) {
        setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

Handle createEvent(bool initiallySet) {
    int fd = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        setLastErrorFromErrno(errno);
        return nullptr;
    }
    claimDescriptor(fd);
    try {
        return enter(std::make_shared<EventObject>(fd));
    } catch (const std::bad_alloc&) {
        closeClaimedDescriptor(fd);
        setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

Handle createSemaphore(int32_t initialCount, int32_t maximumCount) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        setLastError(HB_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        return enter(std::make_shared<SemaphoreObject>(initialCount, maximumCount));
    } catch (const std::bad_alloc&) {
        setLastError(HB_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

WaitOutcome wait(Handle object, uint32_t milliseconds) {
    auto found = findAnyObject(object);
    if (!found) {
        setLastError(HB_ERROR_INVALID_HANDLE);
        return WaitOutcome::Failed;
    }
    switch (found->kind()) {
    case ObjectKind::Event:
        return static_cast<EventObject&>(*found).wait(milliseconds);
    case ObjectKind::Mutex:
        return static_cast<MutexObject&>(*found).wait(milliseconds);
    case ObjectKind::Semaphore:
        return static_cast<SemaphoreObject&>(*found).wait(milliseconds);
    default:
        setLastError(HB_ERROR_INVALID_HANDLE);
        return WaitOutcome::Failed;
    }
}

bool releaseMutex(Handle mutex) {
    auto m = find<MutexObject>(mutex, ObjectKind::Mutex);
    return m ? m->release() : invalidHandle();
}

bool setEvent(Handle event) {
    auto e = find<EventObject>(event, ObjectKind::Event);
    return e ? e->set() : invalidHandle();
}

bool resetEvent(Handle event) {
    auto e = find<EventObject>(event, ObjectKind::Event);
    return e ? e->reset() : invalidHandle();
}

bool releaseSemaphore(Handle semaphore) {
    auto s = find<SemaphoreObject>(semaphore, ObjectKind::Semaphore);
    return s ? s->release() : invalidHandle();
}

bool closeObject(Handle object) {
    return removeObject(object) ? true : invalidHandle();
}

void yieldProcessor() {
    sched_yield();
}

namespace posix {

int duplicateEventDescriptor(Handle event) {
    auto e = find<EventObject>(event, ObjectKind::Event);
    if (!e) {
        errno = EBADF;
        return -1;
    }
    const int duplicate = fcntl(e->fd(), F_DUPFD_CLOEXEC, 0);
    claimDescriptor(duplicate);
    return duplicate;
}

} // namespace posix

} // namespace hb::platform
