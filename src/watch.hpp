// Whether anything the module's native road relies on changed since it was
// last checked.  Where the interpreter offers watchers (3.12 and later), the
// module's namespace, its two registries and its classes are watched: any
// change to them moves one count, and a check made at one count holds until
// it moves, so rebinding costs a check per change instead of per item.
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

    // Whether changes are watched, so that an answer kept costs nothing.
    bool active() const { return type_watcher_ >= 0; }

    // Whether nothing watched changed since `stamp` was taken; when
    // something did (or the stamp is new), takes it afresh and says no.
    bool unchanged(std::uint64_t& stamp);

private:
    int dict_watcher_ = -1;
    int type_watcher_ = -1;
};

}  // namespace quorin
