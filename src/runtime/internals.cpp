// Dictionary stamps from a dictionary watcher, for the interpreters whose
// dictionaries carry no version tag of their own.
#include "runtime/internals.h"

#if PY_VERSION_HEX >= 0x030E0000

namespace runtime {

namespace {

// Every dictionary whose stamp is read is watched: the module's globals, the
// shared runtime module's, the modules whose attributes are cached, and every
// dictionary that a caller stamps to see whether a callee kept or changed it
// (those come and go with the calls, and their slot goes with them; a few at
// a time, since a call takes its dictionaries back). A fixed table keeps the watcher callback free of
// allocation, so it cannot fail; a dictionary that finds the table full is
// not watched and is probed on every read.
//
// Two limits, both reached only by other native code that breaks the
// interpreter's rules for watchers, and not guarded against beyond what is
// said here:
// - The callback runs before the change it reports. A second watcher whose
//   callback runs Python code (the interpreter's documentation forbids it)
//   can run a cached look-up between our callback and the change: it then
//   reads the old value under the new stamp, and serves it after the change. Telling
//   when the change has landed would take a probe on every read, which is
//   what the stamps are there to save.
// - Native code may clear our watcher id with PyDict_ClearWatcher without
//   owning it. Every read of a stamp checks that the id still answers
//   (watcher_answers) and starts afresh when it does not; but if that code
//   then registers a watcher of its own under the same id, the id answers
//   again with a callback that is not ours, and the stamps stop moving.
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

// Forgets every watched dictionary after our watcher id stopped answering:
// its slot is no longer ours, so it is neither unwatched nor cleared. The
// next read registers a new watcher.
[[gnu::cold]] void forget_lost_watcher() noexcept
{
    watched_count = 0;
    watcher_id = -1;
}

// True while our watcher id still has a callback. PyDict_Watch of a
// dictionary that is watched already only sets its bit again; it fails when
// the id has no watcher any more (someone else cleared it).
// Any exception pending before is kept.
bool watcher_answers(PyObject* dict) noexcept
{
    if (PyErr_Occurred() != nullptr) [[unlikely]] {
        SavedError saved;
        return watcher_answers(dict);
    }
    if (PyDict_Watch(watcher_id, dict) == 0) [[likely]] {
        return true;
    }
    PyErr_Clear();
    return false;
}

}  // namespace

std::uint64_t dict_version_of(PyObject* dict) noexcept
{
    int i = find_watched(dict);
    if (i >= 0) {
        if (watcher_answers(dict)) [[likely]] {
            return watched[i].stamp;
        }
        forget_lost_watcher();
        return next_stamp();
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
