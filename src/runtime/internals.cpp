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
// What other native code that breaks the interpreter's rules for watchers can
// do, and what comes of it (the caches hold their values, so the worst is an
// old value, never a freed one):
// - A second watcher whose callback runs Python code (forbidden) can run a
//   cached look-up between our callback, which runs before a change, and the
//   change: that look-up serves the old value until the next change.
// - PyDict_Unwatch(our id, dict): the dictionary's watcher bit is read on
//   every stamp read, so the next read sees it gone, watches it again and
//   hands out a new stamp: the next look-up probes.
// - PyDict_ClearWatcher(our id): confirm_dict_stamps(), once per call of the
//   module's function, finds the id without a callback and starts afresh, so
//   that call's look-ups probe. Until then the table may name dictionaries
//   that are gone (their end was not reported): entries are only compared,
//   never read through, except by stop_dict_watching. If that code then registers a watcher of its
//   own and is handed our old id, the id answers again with a callback that
//   is not ours: the stamps stop moving and the caches keep serving the values
//   they hold, until the process ends.
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

// Watches `dict` with our id again. PyDict_Watch of a dictionary only sets
// its bit; it fails when the id has no watcher any more (someone else cleared
// it). Any exception pending before is kept.
bool rewatch(PyObject* dict) noexcept
{
    SavedError saved;
    if (PyDict_Watch(watcher_id, dict) == 0) {
        return true;
    }
    PyErr_Clear();
    return false;
}

// Whether `dict` still carries our watcher bit: the low bits of the
// dictionary's watcher tag, one per watcher id.
bool has_our_bit(PyObject* dict) noexcept
{
    return (reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag >> watcher_id) & 1u;
}

// The stamp of watched entry `i` whose dictionary lost our bit: the changes
// since are unknown, so it is watched again under a new stamp.
[[gnu::cold]] std::uint64_t restamp(int i) noexcept
{
    if (!rewatch(watched[i].dict)) {
        forget_lost_watcher();
        return next_stamp();
    }
    return watched[i].stamp = next_stamp();
}

}  // namespace

std::uint64_t dict_version_of(PyObject* dict) noexcept
{
    int i = find_watched(dict);
    if (i >= 0) [[likely]] {
        if (has_our_bit(dict)) [[likely]] {
            return watched[i].stamp;
        }
        return restamp(i);
    }
    if (watch(dict)) {
        return watched[watched_count - 1].stamp;
    }
    return next_stamp();
}

void confirm_dict_stamps(PyObject* dict) noexcept
{
    if (watcher_id < 0) {
        return;
    }
    // Our bit first: watching again would hide that it was taken away.
    int i = find_watched(dict);
    if (i >= 0 && !has_our_bit(dict)) {
        restamp(i);
    } else if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();  // none was pending before
        forget_lost_watcher();
    }
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
