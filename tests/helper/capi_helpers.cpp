// What the tests once took from CPython's _testcapi, which builds such as
// python.org's embeddable one do not ship, made here through the public C API
// only: allocation failures on purpose (set_nomemory, remove_mem_hooks), a
// sub-interpreter (run_in_subinterp) and a call with a keyword dictionary
// (pyobject_fastcalldict). Each follows its _testcapi namesake (3.11 to 3.15)
// closely enough that a test sees no difference, down to which allocation
// fails.
#include <atomic>
#include <cstring>

#include "tests/helper/helpers.h"

namespace {

// --- allocation failures -------------------------------------------------------

// The allocators the hooks were installed over, one per domain; each hook's
// context points at its domain's entry. They stay in place after the hooks
// are removed: a call that entered a hook just before still goes through its
// entry, and memory a hook handed out is freed by the allocator it came from
// whether the hooks are still installed or not.
PyMemAllocatorEx saved_raw;
PyMemAllocatorEx saved_mem;
PyMemAllocatorEx saved_obj;
bool installed = false;  // changed under the interpreter lock only

// The allocation requests seen since set_nomemory, and the window of those
// that fail: request n (counted from 1) fails when start < n and, unless
// stop <= 0, n <= stop, as in _testcapi. The raw domain is called without the
// interpreter lock, from any thread: hence atomics.
std::atomic<long long> request_count{0};
std::atomic<long long> fail_start{0};
std::atomic<long long> fail_stop{0};

bool next_request_fails()
{
    const long long n = request_count.fetch_add(1, std::memory_order_relaxed) + 1;
    const long long stop = fail_stop.load(std::memory_order_relaxed);
    return n > fail_start.load(std::memory_order_relaxed) && (stop <= 0 || n <= stop);
}

// Every malloc, calloc and realloc counts (a realloc to size 0 and a calloc of
// nothing too); a failing one returns null and, for realloc, leaves the block
// as it was. Free never counts.
void* hook_malloc(void* ctx, size_t size)
{
    auto* alloc = static_cast<PyMemAllocatorEx*>(ctx);
    return next_request_fails() ? nullptr : alloc->malloc(alloc->ctx, size);
}

void* hook_calloc(void* ctx, size_t nelem, size_t elsize)
{
    auto* alloc = static_cast<PyMemAllocatorEx*>(ctx);
    return next_request_fails() ? nullptr : alloc->calloc(alloc->ctx, nelem, elsize);
}

void* hook_realloc(void* ctx, void* ptr, size_t new_size)
{
    auto* alloc = static_cast<PyMemAllocatorEx*>(ctx);
    return next_request_fails() ? nullptr : alloc->realloc(alloc->ctx, ptr, new_size);
}

void hook_free(void* ctx, void* ptr)
{
    auto* alloc = static_cast<PyMemAllocatorEx*>(ctx);
    alloc->free(alloc->ctx, ptr);
}

// Saves the domain's allocator into `saved` and puts a hook over it. An entry
// is rewritten only when the allocator changed since the last installation
// (tracemalloc, say): a call still inside a hook of the last installation
// may be reading it.
void hook_domain(PyMemAllocatorDomain domain, PyMemAllocatorEx& saved)
{
    PyMemAllocatorEx current;
    PyMem_GetAllocator(domain, &current);
    if (std::memcmp(&current, &saved, sizeof current) != 0) {
        saved = current;
    }
    PyMemAllocatorEx hook{&saved, hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(domain, &hook);
}

// set_nomemory(start, stop=0): from now on, allocation requests number
// start+1 to stop (counted from 1; all from start+1 on when stop <= 0) of the
// raw, mem and object domains fail. Called again while the hooks are in
// place, it only starts a new count.
PyObject* set_nomemory(PyObject*, PyObject* args)
{
    Py_ssize_t start;
    Py_ssize_t stop = 0;
    if (!PyArg_ParseTuple(args, "n|n:set_nomemory", &start, &stop)) {
        return nullptr;
    }
    fail_start.store(start, std::memory_order_relaxed);
    fail_stop.store(stop, std::memory_order_relaxed);
    request_count.store(0, std::memory_order_relaxed);
    if (!installed) {
        installed = true;
        hook_domain(PYMEM_DOMAIN_RAW, saved_raw);
        hook_domain(PYMEM_DOMAIN_MEM, saved_mem);
        hook_domain(PYMEM_DOMAIN_OBJ, saved_obj);
    }
    Py_RETURN_NONE;
}

// remove_mem_hooks(): puts the saved allocators back (nothing when the hooks
// are not in place).
PyObject* remove_mem_hooks(PyObject*, PyObject*)
{
    if (installed) {
        installed = false;
        PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &saved_raw);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &saved_mem);
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &saved_obj);
    }
    Py_RETURN_NONE;
}

// --- sub-interpreters ---------------------------------------------------------

// run_in_subinterp(code): runs `code` in a new legacy sub-interpreter (one
// that shares the interpreter lock, Py_NewInterpreter), ends it and comes
// back: 0, or -1 when the code raised (the traceback printed by the
// sub-interpreter).
PyObject* run_in_subinterp(PyObject*, PyObject* args)
{
    const char* code;
    if (!PyArg_ParseTuple(args, "s:run_in_subinterp", &code)) {
        return nullptr;
    }
    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState_Swap(nullptr);
    PyThreadState* sub_state = Py_NewInterpreter();
    if (sub_state == nullptr) {
        // No thread state was made, so no exception waits in one.
        PyThreadState_Swap(main_state);
        PyErr_SetString(PyExc_RuntimeError, "sub-interpreter creation failed");
        return nullptr;
    }
    const int result = PyRun_SimpleString(code);
    Py_EndInterpreter(sub_state);
    PyThreadState_Swap(main_state);
    return PyLong_FromLong(result);
}

// --- calls --------------------------------------------------------------------

// pyobject_fastcalldict(callable, args, kwargs): calls `callable` with the
// items of `args` (a tuple, or None for none) and the dictionary `kwargs` as
// it is (or None), through PyObject_VectorcallDict: keys that are not
// strings, or whose comparisons misbehave, reach the callee untouched.
PyObject* pyobject_fastcalldict(PyObject*, PyObject* args)
{
    PyObject* callable;
    PyObject* call_args;
    PyObject* kwargs;
    if (!PyArg_ParseTuple(args, "OOO:pyobject_fastcalldict", &callable, &call_args, &kwargs)) {
        return nullptr;
    }
    PyObject* const* items = nullptr;
    Py_ssize_t count = 0;
    if (PyTuple_Check(call_args)) {
        count = PyTuple_GET_SIZE(call_args);
        items = count > 0 ? &PyTuple_GET_ITEM(call_args, 0) : nullptr;
    } else if (call_args != Py_None) {
        PyErr_SetString(PyExc_TypeError, "args must be None or a tuple");
        return nullptr;
    }
    if (kwargs == Py_None) {
        kwargs = nullptr;
    } else if (!PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "kwargs must be None or a dict");
        return nullptr;
    }
    return PyObject_VectorcallDict(callable, items, static_cast<size_t>(count), kwargs);
}

PyMethodDef capi_methods[] = {
    // METH_VARARGS, as in _testcapi: the argument tuple freed after the hooks
    // go in lands in the same free list, so the same allocation fails.
    {"set_nomemory", set_nomemory, METH_VARARGS, nullptr},
    {"remove_mem_hooks", remove_mem_hooks, METH_NOARGS, nullptr},
    {"run_in_subinterp", run_in_subinterp, METH_VARARGS, nullptr},
    {"pyobject_fastcalldict", pyobject_fastcalldict, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_capi_helpers(PyObject* module)
{
    return PyModule_AddFunctions(module, capi_methods);
}
