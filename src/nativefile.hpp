// NativeFile: a buffered, read-only OS file handle that the module opens by
// path.  Records decode straight from its buffer and spectrum values are read
// straight into their arrays.  It is also a small Python object with read,
// seek, tell and close, so a caller's own record callable can read from it.
//
// Opening, and reads that may wait (pipes, FIFOs, terminals) or are large,
// run with the GIL released.  Meanwhile the handle is busy: any other thread
// that uses it waits, without the GIL, until the read is over.
#pragma once

#include "fields.hpp"
#include "osfile.hpp"
#include "ref.hpp"

#include <cstdint>

#include <pythread.h>

namespace quorin {

struct State;

// What kind of file a handle reads is learnt from its first seek or read,
// not asked of the system at open: reaching a regular file's first bytes
// takes no call besides the read, and the size is looked at only where it
// bounds an allocation.
struct NativeFile {
    PyObject_HEAD
    os::Handle handle;    // os::invalid_handle once closed
    bool probed;          // whether `seekable` and `may_block` are known yet
    bool seekable;        // positioned reads work; otherwise bytes come in sequence
    bool may_block;       // not seekable: a read may wait for a writer
    bool busy;            // a thread reads with the GIL released
    bool sized;           // whether `size` and `directory` were looked at
    bool directory;       // opened, but refused at its first use
    PyThread_type_lock lock;  // held for the length of a busy read
    PyObject* path;       // as errors name the file
    std::int64_t size;    // a regular file's size when last looked at, -1 where unknown (procfs)
    std::int64_t base;    // file offset of buf[0]
    Py_ssize_t pos;       // unread bytes are buf[pos, end)
    Py_ssize_t end;
    Py_ssize_t cap;
    Py_ssize_t next_fill; // grows while the file is read in sequence
    char* buf;
};

// Opens `path` (str, bytes or os.PathLike) for reading, raising the OSError
// subclass io.open raises, with the path as its filename.
Ref native_open(State& st, PyObject* path);

// Moves to the absolute position `offset` (an int), with the errors a seek
// of a file object raises.
bool native_seek(NativeFile* f, PyObject* offset);

// Consumes n bytes and returns them, valid until the next call on f; on a
// short read the rest of the file is consumed and struct.error is raised.
const char* native_take(State& st, NativeFile* f, Py_ssize_t n);

// Whether the next n bytes are in the file (reading them into the buffer):
// 1 or 0, -1 on error.
int native_holds(NativeFile* f, Py_ssize_t n);

// Reads up to n bytes into dst; returns the count (short only at the end of
// the file) or -1 with an exception set.
Py_ssize_t native_read_into(NativeFile* f, char* dst, Py_ssize_t n);

// Reads up to n bytes (all that is left when n is negative) into a buffer
// of PyMem_RawMalloc that starts at `capacity` bytes and doubles as the
// bytes come, so that no more is allocated than the file turns out to hold.
// Returns the buffer, for the caller to free, with its count in `have`; null
// with an exception set on error.
char* native_read_growing(NativeFile* f, Py_ssize_t n, Py_ssize_t capacity, Py_ssize_t& have);

// Whether n more bytes may be in the file: false only when a file of known
// size surely ends sooner.  Lets a reader refuse a corrupt count before it
// allocates for it; below 128 KiB, the read finds the end instead.
bool native_may_hold(NativeFile* f, std::int64_t n);

// Whether the file's size is known, so that it bounds what may be allocated
// (looking at it the first time).
bool native_size_known(NativeFile* f);

void native_close(NativeFile* f);

// Borrowed: the system handle under f, for reads that go around its buffer
// (a bulk load); valid while f is open.
inline os::Handle native_handle(const NativeFile* f) { return f->handle; }

// Borrowed: the handle for a caller's code to read from; null with
// IsADirectoryError for a directory, refused before the caller's code runs
// as io.open would have refused it.
PyObject* native_for_caller(NativeFile* f);

// A record source over a NativeFile.
class NativeSource final : public Source {
public:
    NativeSource(State& st, NativeFile* f) : st_(st), f_(f) {}
    const char* take(Py_ssize_t n) override { return native_take(st_, f_, n); }

private:
    State& st_;
    NativeFile* f_;  // borrowed; the owner keeps it open while decoding
};

extern PyType_Spec native_file_spec;

}  // namespace quorin
