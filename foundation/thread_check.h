// Debug checks that a function runs on the thread or queue its comment names. Active in Debug and
// sanitizer builds; in Release the macros compile to nothing and their arguments are not evaluated.
#pragma once

#include "foundation/loop.h"
#include "foundation/serial_queue.h"

#include <atomic>
#include <thread>

#if !defined(NDEBUG) || defined(ZARVO_SANITIZER_BUILD)
#define ZARVO_DCHECK_IS_ON 1
#else
#define ZARVO_DCHECK_IS_ON 0
#endif

namespace zarvo {

// Prints what ran where it should not (function, file:line) and aborts.
[[noreturn]] void threadCheckFailed(const char* what, const char* function, const char* file,
                                    int line);

// Binds to the first thread that checks it; detach() lets the next checking thread take it, for
// an object built on one thread and then handed to another for good.
class ThreadChecker {
public:
    bool calledOnValidThread() const {
        std::thread::id none;
        std::thread::id self = std::this_thread::get_id();
        return owner_.compare_exchange_strong(none, self) || none == self;
    }
    void detach() { owner_ = std::thread::id(); }

private:
    mutable std::atomic<std::thread::id> owner_{};
};

} // namespace zarvo

#if ZARVO_DCHECK_IS_ON
#define ZARVO_THREAD_CHECK_(ok, what)                                                              \
    do {                                                                                           \
        if (!(ok))                                                                                 \
            ::zarvo::threadCheckFailed(what, __func__, __FILE__, __LINE__);                        \
    } while (false)
#else
#define ZARVO_THREAD_CHECK_(ok, what)                                                              \
    do {                                                                                           \
        if (false && (ok)) {                                                                       \
        }                                                                                          \
    } while (false)
#endif

// Runs on the thread of `loop` (a Loop& or pointer-like holding one).
#define ZARVO_DCHECK_ON(loop) ZARVO_THREAD_CHECK_((loop).isLoopThread(), "not on the loop's thread")
// Runs on the worker of `queue` (a SerialQueue&).
#define ZARVO_DCHECK_ON_QUEUE(queue)                                                               \
    ZARVO_THREAD_CHECK_((queue).isCurrent(), "not on the queue's thread")
// Runs on the thread `checker` (a ThreadChecker) is bound to.
#define ZARVO_DCHECK_THREAD(checker)                                                               \
    ZARVO_THREAD_CHECK_((checker).calledOnValidThread(), "not on the checker's thread")
