// Whether anything the module's fast paths rely on changed since they last
// checked it.  Where the interpreter offers watchers (3.12 and later), the
// module's namespace, its two registries and its classes are watched: any
// change to them moves one count, and a check made at one count holds until
// it moves, so rebinding costs a check per change instead of per record.
// Without watchers every check runs each time it is needed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace quorin {

class Watch {
public:
    // Watches `dicts` and `types`; without watchers, or with none left to
    // take, nothing is watched.  False with an exception set on error.
    bool start(std::span<PyObject* const> dicts, std::span<PyObject* const> types);
    // Stops watching; safe to call more than once.
    void stop(std::span<PyObject* const> dicts, std::span<PyObject* const> types);

    // A cached answer to a check: its value when it still holds, else the
    // value `compute` gives now (1 or 0; -1 on error, which is not kept).
    template <typename Compute>
    int cached(std::int8_t& slot, Compute compute);

    // Whether changes are watched, so that a cached answer costs nothing.
    bool active() const { return type_watcher_ >= 0; }

    // Whether nothing watched changed since `stamp` was taken; when
    // something did (or the stamp is new), takes it afresh and says no.
    bool unchanged(std::uint64_t& stamp);

    // Watches one more dictionary, or stops: a caller's own cache depends on it.
    bool watch_dict(PyObject* dict);
    void unwatch_dict(PyObject* dict);

    // Forgets every cached answer: `slots` are the caches this watch keeps.
    void bind_slots(std::span<std::int8_t> slots) { slots_ = slots; }

private:
    bool current();

    int dict_watcher_ = -1;
    int type_watcher_ = -1;
    std::uint64_t checked_ = 0;  // the count the cached answers hold at
    std::span<std::int8_t> slots_;
};

template <typename Compute>
int Watch::cached(std::int8_t& slot, Compute compute)
{
    if (!current())
        return compute();
    if (slot >= 0)
        return slot;
    const int answer = compute();
    if (answer >= 0)
        slot = static_cast<std::int8_t>(answer);
    return answer;
}

}  // namespace quorin
