// Dictionary stamps from a dictionary watcher, for the interpreters whose
// dictionaries carry no version tag of their own.
#include "runtime/internals.h"

#if PY_VERSION_HEX >= 0x030E0000

namespace runtime {

namespace {

// The module watches a handful of dictionaries (its own globals, the shared
// runtime module's, the modules whose attributes it caches); a fixed table
// keeps the watcher callback free of allocation, so it cannot fail.
struct Watched {
    PyObject* dict;  // not owned: the entry goes when the dictionary does
    std::uint64_t stamp;
};
constexpr int max_watched = 16;
Watched watched[max_watched];
int watched_count = 0;
std::uint64_t last_stamp = 0;
int watcher_id = -1;
bool watcher_unavailable = false;

std::uint64_t next_stamp() noexcept
{
    return ++last_stamp;
}

int find_watched(PyObject* dict) noexcept
{
    for (int i = 0; i < watched_count; ++i) {
        if (watched[i].dict == dict) {
            return i;
        }
    }
    return -1;
}

// Runs before each change of a watched dictionary takes effect and when it is
// freed; it never raises.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept
{
    int i = find_watched(dict);
    if (i < 0) {
        return 0;
    }
    if (event == PyDict_EVENT_DEALLOCATED) {
        watched[i] = watched[--watched_count];
    } else {
        watched[i].stamp = next_stamp();
    }
    return 0;
}

// Starts watching `dict`; false when no watcher or table slot can be had.
// Leaves any pending exception as it was.
bool watch(PyObject* dict) noexcept
{
    if (watcher_unavailable || watched_count == max_watched) {
        return false;
    }
    SavedError saved;
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) {
            watcher_unavailable = true;
            return false;
        }
    }
    if (PyDict_Watch(watcher_id, dict) < 0) {
        return false;
    }
    watched[watched_count++] = {dict, next_stamp()};
    return true;
}

}  // namespace

std::uint64_t dict_version_of(PyObject* dict) noexcept
{
    int i = find_watched(dict);
    if (i >= 0) {
        return watched[i].stamp;
    }
    if (watch(dict)) {
        return watched[watched_count - 1].stamp;
    }
    return next_stamp();
}

void stop_dict_watching() noexcept
{
    if (watcher_id < 0) {
        return;
    }
    SavedError saved;
    for (int i = 0; i < watched_count; ++i) {
        PyDict_Unwatch(watcher_id, watched[i].dict);
    }
    watched_count = 0;
    PyDict_ClearWatcher(watcher_id);
    watcher_id = -1;
}

}  // namespace runtime

#endif
