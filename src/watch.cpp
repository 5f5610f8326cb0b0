#include "watch.hpp"

#include <atomic>

namespace quorin {
namespace {

// The one count every watched change moves, in any interpreter: watcher
// callbacks are told only what changed, not whose state it is, and a change
// elsewhere costs no more than one check made again.
std::atomic<std::uint64_t> change_count{1};

#if PY_VERSION_HEX >= 0x030C0000
int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    change_count.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int on_type_change(PyTypeObject*)
{
    change_count.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

}  // namespace

bool Watch::start([[maybe_unused]] std::span<PyObject* const> dicts,
                  [[maybe_unused]] std::span<PyObject* const> types)
{
#if PY_VERSION_HEX >= 0x030C0000
    dict_watcher_ = PyDict_AddWatcher(on_dict_change);
    type_watcher_ = dict_watcher_ < 0 ? -1 : PyType_AddWatcher(on_type_change);
    if (type_watcher_ < 0) {
        // Every watcher is taken: check each time instead.
        PyErr_Clear();
        if (dict_watcher_ >= 0)
            PyDict_ClearWatcher(dict_watcher_);
        dict_watcher_ = -1;
        return true;
    }
    for (PyObject* d : dicts)
        if (PyDict_Watch(dict_watcher_, d) < 0)
            return false;
    for (PyObject* t : types)
        if (PyType_Watch(type_watcher_, t) < 0)
            return false;
#endif
    return true;
}

void Watch::stop([[maybe_unused]] std::span<PyObject* const> dicts,
                 [[maybe_unused]] std::span<PyObject* const> types)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (dict_watcher_ >= 0) {
        for (PyObject* d : dicts)
            if (d && PyDict_Unwatch(dict_watcher_, d) < 0)
                PyErr_Clear();
        if (PyDict_ClearWatcher(dict_watcher_) < 0)
            PyErr_Clear();
    }
    if (type_watcher_ >= 0) {
        for (PyObject* t : types)
            if (t && PyType_Unwatch(type_watcher_, t) < 0)
                PyErr_Clear();
        if (PyType_ClearWatcher(type_watcher_) < 0)
            PyErr_Clear();
    }
#endif
    dict_watcher_ = type_watcher_ = -1;
}

bool Watch::unchanged(std::uint64_t& stamp)
{
    if (!active())
        return false;
    const std::uint64_t now = change_count.load(std::memory_order_relaxed);
    if (stamp == now)
        return true;
    stamp = now;
    return false;
}

}  // namespace quorin
