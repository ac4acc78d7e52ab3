/* The floor of a C loop that calls Python: a thread that keeps one thread
 * state, sleeps then spins to each deadline on a fixed grid, and at each one
 * takes the GIL with PyGILState_Ensure, calls a Python function, and lets the
 * GIL go. bench/timers.py and bench/timer_contention.py run it beside
 * precision_timer with the same function; bench/demo_lateness.py drives the
 * demo's control step with it.
 *
 *     _timer_floor.run(func, frequency_hz, spin_threshold_us, seconds)
 *     loop = _timer_floor.start(func, frequency_hz, spin_threshold_us)
 *     _timer_floor.stop(loop) -> ticks
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>

#include "floor_sleep.h"

struct loop {
    PyObject* func;
    int64_t period_ns, spin_ns, end_ns;
    atomic_int running;
    long ticks;
    pthread_t thread;
};

static void* loop_main(void* arg) {
    struct loop* l = arg;
    precise_timer_slack();
    /* The outer state lives for the whole loop, so that every tick's Ensure
     * finds it, as a thread that keeps its state does. */
    PyGILState_STATE outer = PyGILState_Ensure();
    Py_BEGIN_ALLOW_THREADS
    int64_t next = now_ns() + l->period_ns;
    while (atomic_load(&l->running) && now_ns() < l->end_ns) {
        PyGILState_STATE tick = PyGILState_Ensure();
        PyObject* result = PyObject_CallNoArgs(l->func);
        if (result == NULL) PyErr_Clear();
        Py_XDECREF(result);
        PyGILState_Release(tick);
        l->ticks++;
        sleep_until(next, l->spin_ns);
        next += l->period_ns;
        int64_t now = now_ns();
        if (now > next) next += l->period_ns * ((now - next) / l->period_ns + 1);
    }
    Py_END_ALLOW_THREADS
    PyGILState_Release(outer);
    return NULL;
}

/* Starts the loop thread; the caller holds the GIL. */
static int begin(struct loop* l, PyObject* func, double hz, double spin_us, int64_t end_ns) {
    l->func = Py_NewRef(func);
    l->period_ns = (int64_t)(1e9 / hz + 0.5);
    l->spin_ns = (int64_t)(spin_us * 1e3);
    l->end_ns = end_ns;
    l->ticks = 0;
    atomic_init(&l->running, 1);
    if (pthread_create(&l->thread, NULL, loop_main, l) == 0) return 0;
    Py_DECREF(l->func);
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

/* Waits for the loop's thread to end; the caller holds the GIL. */
static long finish(struct loop* l) {
    Py_BEGIN_ALLOW_THREADS
    pthread_join(l->thread, NULL);
    Py_END_ALLOW_THREADS
    Py_DECREF(l->func);
    return l->ticks;
}

static PyObject* run(PyObject* self, PyObject* args) {
    (void)self;
    struct loop l;
    PyObject* func;
    double hz, spin_us, seconds;
    if (!PyArg_ParseTuple(args, "Oddd", &func, &hz, &spin_us, &seconds)) return NULL;
    int64_t end_ns = now_ns() + (int64_t)(seconds * 1e9);
    if (begin(&l, func, hz, spin_us, end_ns) < 0) return NULL;
    finish(&l);
    Py_RETURN_NONE;
}

static const char* const kCapsule = "_timer_floor.loop";

static void free_loop(PyObject* capsule) {
    struct loop* l = PyCapsule_GetPointer(capsule, kCapsule);
    if (l == NULL) return;
    if (l->func != NULL) {  /* never stopped: stop it now */
        atomic_store(&l->running, 0);
        finish(l);
    }
    PyMem_RawFree(l);
}

static PyObject* start(PyObject* self, PyObject* args) {
    (void)self;
    PyObject* func;
    double hz, spin_us;
    if (!PyArg_ParseTuple(args, "Odd", &func, &hz, &spin_us)) return NULL;
    struct loop* l = PyMem_RawCalloc(1, sizeof *l);
    if (l == NULL) return PyErr_NoMemory();
    if (begin(l, func, hz, spin_us, INT64_MAX) < 0) {
        PyMem_RawFree(l);
        return NULL;
    }
    PyObject* capsule = PyCapsule_New(l, kCapsule, free_loop);
    if (capsule == NULL) {
        atomic_store(&l->running, 0);
        finish(l);
        PyMem_RawFree(l);
    }
    return capsule;
}

static PyObject* stop(PyObject* self, PyObject* capsule) {
    (void)self;
    struct loop* l = PyCapsule_GetPointer(capsule, kCapsule);
    if (l == NULL) return NULL;
    if (l->func == NULL) return PyLong_FromLong(l->ticks);  /* stopped already */
    atomic_store(&l->running, 0);
    long ticks = finish(l);
    l->func = NULL;
    return PyLong_FromLong(ticks);
}

static PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(func, frequency_hz, spin_threshold_us, seconds)"},
    {"start", start, METH_VARARGS, "start(func, frequency_hz, spin_threshold_us) -> loop"},
    {"stop", stop, METH_O, "stop(loop) -> ticks"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_timer_floor", NULL, 0, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__timer_floor(void) { return PyModule_Create(&module); }
