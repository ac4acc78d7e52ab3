/* The floor of a C loop that calls Python: a thread that keeps one thread
 * state, sleeps then spins to each deadline on a fixed grid, and at each one
 * takes the GIL with PyGILState_Ensure, calls a Python function, and lets the
 * GIL go. bench/timers.py runs it beside precision_timer with the same function.
 *
 *     _timer_floor.run(func, frequency_hz, spin_threshold_us, seconds)
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include "floor_sleep.h"

struct loop {
    PyObject* func;
    int64_t period_ns, spin_ns, end_ns;
};

static void* loop_main(void* arg) {
    struct loop* l = arg;
    /* The outer state lives for the whole loop, so that every tick's Ensure
     * finds it, as a thread that keeps its state does. */
    PyGILState_STATE outer = PyGILState_Ensure();
    Py_BEGIN_ALLOW_THREADS
    int64_t next = now_ns() + l->period_ns;
    while (now_ns() < l->end_ns) {
        PyGILState_STATE tick = PyGILState_Ensure();
        PyObject* result = PyObject_CallNoArgs(l->func);
        if (result == NULL) PyErr_Clear();
        Py_XDECREF(result);
        PyGILState_Release(tick);
        sleep_until(next, l->spin_ns);
        next += l->period_ns;
        int64_t now = now_ns();
        if (now > next) next += l->period_ns * ((now - next) / l->period_ns + 1);
    }
    Py_END_ALLOW_THREADS
    PyGILState_Release(outer);
    return NULL;
}

static PyObject* run(PyObject* self, PyObject* args) {
    (void)self;
    struct loop l;
    double hz, spin_us, seconds;
    if (!PyArg_ParseTuple(args, "Oddd", &l.func, &hz, &spin_us, &seconds)) return NULL;
    l.period_ns = (int64_t)(1e9 / hz + 0.5);
    l.spin_ns = (int64_t)(spin_us * 1e3);
    l.end_ns = now_ns() + (int64_t)(seconds * 1e9);
    pthread_t thread;
    if (pthread_create(&thread, NULL, loop_main, &l) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    Py_BEGIN_ALLOW_THREADS
    pthread_join(thread, NULL);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {{"run", run, METH_VARARGS, "run(func, frequency_hz, spin_threshold_us, seconds)"},
                                {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_timer_floor", NULL, 0, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__timer_floor(void) { return PyModule_Create(&module); }
