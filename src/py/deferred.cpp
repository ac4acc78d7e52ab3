#include "py/deferred.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace drovik::py {

namespace {

struct ReleaseQueue {
    std::mutex lock;                 // guards `objects`
    std::vector<PyObject*> objects;  // references owed a Py_DECREF
    std::atomic<bool> pending{false};  // lets the entry path skip the lock when empty
};

ReleaseQueue& queue() noexcept {
    static ReleaseQueue* q = new ReleaseQueue;  // never destroyed: threads may outlive static teardown
    return *q;
}

}  // namespace

bool current_thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // thread-local since 3.12
#else
    // Before 3.12 the current thread state is process-wide: it names whoever
    // holds the lock, so compare it with this thread's own state.
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
}

void release_anywhere(PyObject* obj) noexcept {
    if (current_thread_holds_gil()) {
        Py_DECREF(obj);
        return;
    }
    ReleaseQueue& q = queue();
    std::lock_guard guard(q.lock);
    try {
        q.objects.push_back(obj);
    } catch (...) {
        return;  // out of memory: leaking one object beats touching it without the GIL
    }
    q.pending.store(true, std::memory_order_release);
}

void run_deferred_releases() noexcept {
    ReleaseQueue& q = queue();
    if (!q.pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> due;
    {
        std::lock_guard guard(q.lock);
        due.swap(q.objects);
        q.pending.store(false, std::memory_order_relaxed);
    }
    // Outside the lock: a release may run arbitrary Python code that queues more.
    for (PyObject* obj : due) Py_DECREF(obj);
}

}  // namespace drovik::py
