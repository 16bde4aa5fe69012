/* The floors a vault is measured against: only the system work of a vault, with nothing of its
 * bookkeeping, in the same call shape (fastcall methods on an object, taking bytes). Built by the
 * benchmark; never part of the module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef struct {
    PyObject_HEAD
    uint8_t* secret;
    Py_ssize_t size;
} Floor;

static size_t page_size;

/* Same barrier as the vault's comparison: a noinline function through a volatile slot. */
__attribute__((noinline)) static uint8_t value_barrier(uint8_t value) {
    volatile uint8_t slot = value;
    return slot;
}

static int barrier_eq(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t accumulator = 1;
    for (size_t i = 0; i < n; ++i) {
        uint32_t difference = (uint32_t)(a[i] ^ b[i]);
        accumulator &= value_barrier((uint8_t)(((difference - 1U) >> 8U) & 1U));
    }
    return value_barrier(accumulator) != 0;
}

/* The module's own zeroing: memset, then a barrier that makes the zeros observed. */
static void secure_zero(void* p, size_t n) {
    memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

static int dumpable(void* address, size_t n, int advice) {
    size_t before = (uintptr_t)address % page_size;
    return madvise((char*)address - before, before + n, advice);
}

static int one_bytes_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              char** data, Py_ssize_t* n) {
    if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "expected one positional argument");
        return -1;
    }
    return PyBytes_AsStringAndSize(args[0], data, n);
}

/* malloc + copy + mlock [+ madvise(DONTDUMP)] + zero [+ madvise(DODUMP)] + munlock + free. */
static PyObject* cycle(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, int advise) {
    char* data;
    Py_ssize_t n;
    if (one_bytes_argument(args, nargs, kwnames, &data, &n) < 0) {
        return NULL;
    }
    uint8_t* block = malloc((size_t)n);
    if (block == NULL) {
        return PyErr_NoMemory();
    }
    memcpy(block, data, (size_t)n);
    if (mlock(block, (size_t)n) != 0 || (advise && dumpable(block, (size_t)n, MADV_DONTDUMP) != 0)) {
        free(block);
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    secure_zero(block, (size_t)n);
    if (advise) {
        dumpable(block, (size_t)n, MADV_DODUMP);
    }
    munlock(block, (size_t)n);
    free(block);
    Py_RETURN_NONE;
}

static PyObject* lock_cycle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    (void)self;
    return cycle(args, nargs, kwnames, 1);
}

static PyObject* plain_cycle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    (void)self;
    return cycle(args, nargs, kwnames, 0);
}

static PyObject* eq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Floor* floor = (Floor*)self;
    char* data;
    Py_ssize_t n;
    if (one_bytes_argument(args, nargs, kwnames, &data, &n) < 0) {
        return NULL;
    }
    if (n != floor->size) {
        Py_RETURN_FALSE;
    }
    return PyBool_FromLong(barrier_eq(floor->secret, (const uint8_t*)data, (size_t)n));
}

static PyObject* to_bytes(PyObject* self, PyObject* unused) {
    (void)unused;
    Floor* floor = (Floor*)self;
    return PyBytes_FromStringAndSize((const char*)floor->secret, floor->size);
}

static PyObject* to_str(PyObject* self, PyObject* unused) {
    (void)unused;
    Floor* floor = (Floor*)self;
    return PyUnicode_DecodeUTF8((const char*)floor->secret, floor->size, "strict");
}

static PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const char* data;
    Py_ssize_t n;
    if (kwargs != NULL || !PyArg_ParseTuple(args, "y#", &data, &n)) {
        PyErr_SetString(PyExc_TypeError, "Floor(secret: bytes)");
        return NULL;
    }
    Floor* floor = (Floor*)type->tp_alloc(type, 0);
    if (floor == NULL) {
        return NULL;
    }
    floor->secret = malloc(n > 0 ? (size_t)n : 1);
    if (floor->secret == NULL) {
        Py_DECREF(floor);
        return PyErr_NoMemory();
    }
    memcpy(floor->secret, data, (size_t)n);
    floor->size = n;
    return (PyObject*)floor;
}

static void floor_dealloc(PyObject* self) {
    free(((Floor*)self)->secret);
    Py_TYPE(self)->tp_free(self);
}

#if defined(SYS_clone) && defined(SYS_mlock2)
/* The floor of a fork that must relock: the clone system call (no fork handler on either side),
 * then in the child only mlock2(MLOCK_ONFAULT) of each (start, length) given. Returns clone's. */
static PyObject* fork_relocking(PyObject* module, PyObject* mappings) {
    (void)module;
    PyObject* items = PySequence_Fast(mappings, "fork_relocking(mappings): a sequence of pairs");
    if (items == NULL) {
        return NULL;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    unsigned long* ranges = PyMem_Calloc((size_t)n * 2 + 1, sizeof *ranges);
    if (ranges == NULL) {
        Py_DECREF(items);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items, i), "kk", &ranges[2 * i],
                              &ranges[2 * i + 1])) {
            PyMem_Free(ranges);
            Py_DECREF(items);
            return NULL;
        }
    }
    Py_DECREF(items);
    long pid = syscall(SYS_clone, (long)SIGCHLD, 0L, 0L, 0L, 0L);
    if (pid == 0) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            syscall(SYS_mlock2, ranges[2 * i], ranges[2 * i + 1], 1L /* MLOCK_ONFAULT */);
        }
    }
    PyMem_Free(ranges);
    return pid < 0 ? PyErr_SetFromErrno(PyExc_OSError) : PyLong_FromLong(pid);
}
#endif

static PyMethodDef module_functions[] = {
#if defined(SYS_clone) && defined(SYS_mlock2)
    {"fork_relocking", fork_relocking, METH_O, "a plain fork whose child locks mappings in place"},
#endif
    {NULL, NULL, 0, NULL},
};

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS
static PyMethodDef floor_methods[] = {
    {"lock_cycle", FASTCALL(lock_cycle), "a vault's system work, with the core-dump exclusion"},
    {"plain_cycle", FASTCALL(plain_cycle), "the plain lock cycle: no madvise pair"},
    {"eq", FASTCALL(eq), "the held secret against bytes, byte by byte through the barrier"},
    {"to_bytes", to_bytes, METH_NOARGS, "a bytes of the held secret"},
    {"to_str", to_str, METH_NOARGS, "a str of the held secret"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject floor_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.Floor",
    .tp_basicsize = sizeof(Floor),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = floor_new,
    .tp_dealloc = floor_dealloc,
    .tp_methods = floor_methods,
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floor", NULL, -1,
                                          module_functions};

PyMODINIT_FUNC PyInit_floor(void) {
    page_size = (size_t)sysconf(_SC_PAGESIZE);
    if (PyType_Ready(&floor_type) < 0) {
        return NULL;
    }
    PyObject* module = PyModule_Create(&floor_module);
    if (module != NULL && PyModule_AddObjectRef(module, "Floor", (PyObject*)&floor_type) < 0) {
        Py_CLEAR(module);
    }
    return module;
}
