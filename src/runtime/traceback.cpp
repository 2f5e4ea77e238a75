#include "runtime/traceback.h"

#include <cstring>

#include "runtime/internals.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/state.h"

namespace runtime {

namespace {

constexpr std::int32_t cache_step = 64;

// Index of the first entry whose key is not below `key`, or count.
std::int32_t find_position(std::int32_t key)
{
    const std::int32_t count = g_state.code_cache.count;
    const CodeCacheEntry* entries = g_state.code_cache.entries;
    // A new key larger than every cached one costs one comparison.
    if (count >= 1 && key > entries[count - 1].key) {
        return count;
    }
    std::int32_t start = 0;
    std::int32_t end = count - 1;
    std::int32_t mid = 0;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (key < entries[mid].key) {
            end = mid;
        } else if (key > entries[mid].key) {
            start = mid + 1;
        } else {
            return mid;
        }
    }
    if (count == 0) {
        return 0;
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

// Whether entries show the native site: native_runtime.native_line_in_traceback
// is true. Runs with no exception pending and leaves none: a switch that
// cannot be read counts as off for this entry, and the switch is written only
// when it is truly absent.
bool native_line_shown()
{
    // Before the runtime module and the switch's name exist (an early failure
    // of module execution) the switch cannot be read: the site is shown.
    PyObject* runtime_module = g_state.runtime_module;
    PyObject* switch_name = g_state.name_native_line_in_traceback;
    if (runtime_module == nullptr || switch_name == nullptr) {
        return true;
    }
    // The switch value, held while its truth is tested: the test may run
    // code that rebinds the attribute.
    Ref flag;
    PyObject* runtime_dict = PyModule_Check(runtime_module) ? PyModule_GetDict(runtime_module) : nullptr;
    if (runtime_dict != nullptr) {
        flag = Ref(dict_lookup_if_modified(runtime_dict, switch_name, g_state.switch_cache));
    } else {
        Ref attr(get_attr(runtime_module, switch_name));
        if (attr) {
            flag = Ref::borrow(PyObject_IsTrue(attr.get()) > 0 ? Py_True : Py_False);
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!flag) {
        if (PyObject_SetAttr(runtime_module, switch_name, Py_False) < 0) {
            PyErr_Clear();
        }
        return false;
    }
    if (flag.get() == Py_True || flag.get() == Py_False) {
        return flag.get() == Py_True;
    }
    int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) {
        PyErr_Clear();
    }
    return truth > 0;
}

// The path of a native source file as the project names it, from the source
// folder down ("notify/send.cpp"), wherever the build ran.
const char* source_name(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if ((p == path || p[-1] == '/') && std::strncmp(p, "src/", 4) == 0) {
            name = p + 4;
        }
    }
    while (std::strncmp(name, "../", 3) == 0) {
        name += 3;
    }
    return name;
}

// Borrowed code object cached under `key`, or null.
PyObject* code_cache_lookup(std::int32_t key)
{
    CodeCache& cache = g_state.code_cache;
    if (key == 0 || cache.entries == nullptr) {
        return nullptr;
    }
    std::int32_t pos = find_position(key);
    if (pos < cache.count && cache.entries[pos].key == key) {
        return cache.entries[pos].code;
    }
    return nullptr;
}

// Stores `code` under `key` (taking a reference); silently does nothing when
// the key is 0 or memory runs out.
void code_cache_insert(std::int32_t key, PyObject* code)
{
    CodeCache& cache = g_state.code_cache;
    if (key == 0) {
        return;
    }
    if (cache.entries == nullptr) {
        auto* entries = static_cast<CodeCacheEntry*>(PyMem_Malloc(cache_step * sizeof(CodeCacheEntry)));
        if (entries == nullptr) {
            return;
        }
        cache.entries = entries;
        cache.capacity = cache_step;
        cache.count = 1;
        entries[0].code = Py_NewRef(code);
        entries[0].key = key;
        return;
    }
    std::int32_t pos = find_position(key);
    if (pos < cache.count && cache.entries[pos].key == key) {
        Py_SETREF(cache.entries[pos].code, Py_NewRef(code));
        return;
    }
    if (cache.count == cache.capacity) {
        auto* grown = static_cast<CodeCacheEntry*>(PyMem_Realloc(
            cache.entries, (cache.capacity + cache_step) * sizeof(CodeCacheEntry)));
        if (grown == nullptr) {
            return;
        }
        cache.entries = grown;
        cache.capacity += cache_step;
    }
    for (std::int32_t i = cache.count; i > pos; --i) {
        cache.entries[i] = cache.entries[i - 1];
    }
    cache.entries[pos].code = Py_NewRef(code);
    cache.entries[pos].key = key;
    ++cache.count;
}

}  // namespace

void add_traceback(const char* funcname, const Failure& failure, const char* filename, PyObject* globals)
{
    if (globals == nullptr) {
        return;
    }
    // The entry is built with the exception taken off the thread: building it
    // can run code (a colliding key's __eq__ while the frame finds its
    // builtins) that must neither see the exception nor replace it.
    SavedError saved;
    const bool native_shown = failure.native_line != 0 && native_line_shown();
    const std::int32_t key = native_shown ? -failure.native_line : failure.py_line;

    // The entry's function name, formatted on the stack so that a cache hit
    // allocates nothing: with the native site, "main.send (notify/send.cpp:93)".
    char name[256];
    if (native_shown) {
        PyOS_snprintf(name, sizeof name, "%s (%s:%d)", funcname, source_name(failure.native_file),
                      failure.native_line - failure.native_base);
    } else {
        PyOS_snprintf(name, sizeof name, "%s", funcname);
    }

    // A cached code object serves only the function it was made for: a hit
    // that names another function is rebuilt and replaces the cached one.
    Ref code(Py_XNewRef(code_cache_lookup(key)));
    if (code) {
        // (Before the runtime's strings exist nothing is read: it is rebuilt.)
        PyObject* attribute = g_state.name_co_name;
        Ref cached_name(attribute != nullptr ? PyObject_GetAttr(code.get(), attribute) : nullptr);
        if (!cached_name || PyUnicode_CompareWithASCIIString(cached_name.get(), name) != 0) {
            code.reset();
        }
    }
    if (!code) {
        code = Ref(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, failure.py_line)));
        if (code) {
            code_cache_insert(key, code.get());
        }
    }
    Ref frame;
    if (code) {
        frame = Ref(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // Whatever building the entry raised gives way to the original exception.
    saved.restore();
    if (frame && PyErr_Occurred()) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace runtime
