// The file layer: everything the core asks of the operating system, in one
// small interface with one implementation per platform family
// (osfile_posix.cpp, osfile_windows.cpp).  Nothing else in src/ includes a
// system header.
//
// The calls neither take nor release the GIL: a caller that may wait
// releases it around them, and touches no Python object meanwhile.  Only
// path conversion and raise_error need the GIL.  Failures return an error
// code (errno, or the Windows error) for raise_error to turn into the
// host's OSError subclass, as io.open raises it.
//
// The layer builds without the interpreter where QUORIN_OSFILE_NO_PYTHON is
// defined (its own test program): Path and raise_error, the only parts that
// need Python, are then left out.
#pragma once

#ifndef QUORIN_OSFILE_NO_PYTHON
#include <Python.h>
#endif

#include <cstddef>
#include <cstdint>

namespace quorin::os {

// errno on POSIX, what GetLastError() says on Windows; 0 is success.
using Error = int;

#ifdef _WIN32
using Handle = void*;               // a HANDLE
#else
using Handle = int;                 // a file descriptor
#endif
extern const Handle invalid_handle;

#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

#ifndef QUORIN_OSFILE_NO_PYTHON
// A path in the system's own encoding, converted with the interpreter's
// own rules (os.fsencode on POSIX, wide characters on Windows).
class Path {
public:
    Path() = default;
    ~Path();
    Path(const Path&) = delete;
    Path& operator=(const Path&) = delete;

    // From str, bytes or an os.PathLike (asking for __fspath__ once); false
    // with an exception set.  Needs the GIL.
    bool convert(PyObject* path);
    // The path as errors name it: borrowed, alive as long as this Path.
    PyObject* object() const { return object_; }
    // The path as the system takes it, null-terminated; null before convert.
    const PathChar* native() const;

private:
    friend Error open_read(const Path& path, Handle& out);
    PyObject* object_ = nullptr;   // str or bytes, as given or from __fspath__
#ifdef _WIN32
    void* wide_ = nullptr;         // wchar_t*, PyMem-owned
#else
    PyObject* encoded_ = nullptr;  // bytes
#endif
};
#endif

// One destination of a scatter read.
struct Buffer {
    void* data;
    std::size_t size;
};

enum class Kind {
    regular,    // positioned reads and a size
    stream,     // a pipe, FIFO, socket or terminal: bytes come in sequence
    directory,  // opens on POSIX, refused at first use as io.open refuses it
    other,      // a device: positioned reads may work, the size means nothing
};

// Opens for reading, sharing read, write and delete with other openers.
#ifndef QUORIN_OSFILE_NO_PYTHON
Error open_read(const Path& path, Handle& out);
#endif
Error open_read(const PathChar* name, Handle& out);
// One attempt at open_read: error_interrupted where a signal came first, so
// a caller can run the signal handlers before it tries again (opening a FIFO
// waits for a writer).
Error open_read_once(const PathChar* name, Handle& out);
void close(Handle h);

// Reads up to n bytes at offset; got is short only at the end of the file.
// Requests of any size are looped as the system needs.
Error read_at(Handle h, void* data, std::size_t n, std::int64_t offset, std::size_t& got);
// Fills parts in order from offset; got is short only at the end of the file.
Error read_at(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got);
// Reads up to n bytes at the current position (a stream); 0 at its end.
Error read_next(Handle h, void* data, std::size_t n, std::size_t& got);
// One read of the system into parts in order: at offset, or at the stream's
// position where offset is negative.  got may be short anywhere (0 at the
// end); error_not_seekable for an offset on a stream; error_interrupted
// where a signal came first.  For callers that loop themselves and need each
// read to be one call (a buffered handle, a read that probes for a stream).
Error read_once(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got);

// The file pointer, and moving it; error_not_seekable on a stream.  A
// positioned read may move it (on Windows), so it means something only to
// a caller that reads in sequence.
Error position(Handle h, std::int64_t& where);
Error seek(Handle h, std::int64_t offset);

// What the handle reads, and a regular file's size (-1 where unknown).
Error describe(Handle h, Kind& kind, std::int64_t& size);

// A read-only view of a whole regular file of `size` bytes.
struct Mapping {
    const char* data = nullptr;
    std::int64_t size = 0;
    void* token = nullptr;  // what unmapping needs besides the address
};
Error map_read(Handle h, std::int64_t size, Mapping& out);
void unmap(Mapping& m);

#ifndef QUORIN_OSFILE_NO_PYTHON
// Sets the host's OSError subclass for `error`, with `path` as its filename
// when not null (winerror is set on Windows).  Returns null for chaining.
PyObject* raise_error(Error error, PyObject* path);
#endif

// The flags the host's open() reports to its "open" audit hook for "rb".
extern const int open_audit_flags;

// Error codes the core decides on, portably.
extern const Error error_is_directory;   // refusing a directory's first use
extern const Error error_not_seekable;   // a positioned read of a stream
extern const Error error_invalid;        // a bad offset or argument
extern const Error error_not_mappable;   // mapping what is not a regular file
extern const Error error_interrupted;    // a signal came first: try again after its handler
bool means_not_seekable(Error error);

}  // namespace quorin::os
