// The file layer on Windows.
//
// Files open as the C runtime opens them for the host's open(): CreateFileW
// sharing read, write and delete, so an instrument can keep writing a file
// that is read, and a file can be renamed or deleted while it is open.
// Positioned reads are ReadFile with an OVERLAPPED offset on a handle opened
// for synchronous I/O: they need no seek first, but leave the file pointer
// after the bytes read, which POSIX's pread does not.  Nothing here counts
// on the pointer between calls.
#include "osfile.hpp"

#include <algorithm>
#include <climits>
#include <cwchar>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <errno.h>
#include <fcntl.h>

// Newer than some SDKs' headers (MinGW-w64's among them).
#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336L
#endif

namespace quorin::os {

const Handle invalid_handle = INVALID_HANDLE_VALUE;
// Windows has no codes for these three: raise_error turns them into the
// errno values the host's own file objects raise for them.
const Error error_is_directory = ERROR_DIRECTORY_NOT_SUPPORTED;
const Error error_not_seekable = ERROR_SEEK_ON_DEVICE;
const Error error_invalid = ERROR_NEGATIVE_SEEK;
const Error error_not_mappable = ERROR_BAD_FILE_TYPE;
// Synchronous I/O ends so only when another thread cancels it.
const Error error_interrupted = ERROR_OPERATION_ABORTED;
// What the host's open() reports to its audit hook for "rb".
const int open_audit_flags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;

bool means_not_seekable(Error error) { return error == ERROR_SEEK_ON_DEVICE; }

namespace {

// One ReadFile moves at most this much: its count is a DWORD.
constexpr std::size_t single_read_max = 0xfffff000;

Error last_error() { return static_cast<Error>(GetLastError()); }

// Whether positioned reads work: only disk files have positions.  A pipe
// would ignore the offset of a synchronous read and hand out its next bytes.
bool has_positions(Handle h) { return GetFileType(h) == FILE_TYPE_DISK; }

// One ReadFile of up to single_read_max bytes: at offset, or at the file
// pointer where offset is negative.  The end of a pipe is an end, not an error.
Error read_one(Handle h, void* data, std::size_t n, std::int64_t offset, std::size_t& got)
{
    const auto count = static_cast<DWORD>(std::min(n, single_read_max));
    DWORD moved = 0;
    BOOL ok;
    if (offset >= 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xffffffffu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        ok = ReadFile(h, data, count, &moved, &at);
    } else {
        ok = ReadFile(h, data, count, &moved, nullptr);
    }
    got = moved;
    if (ok)
        return 0;
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) {
        got = 0;
        return 0;
    }
    return static_cast<Error>(error);
}

}  // namespace

Error open_read_once(const PathChar* name, Handle& out)
{
    const HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error();
    out = h;
    return 0;
}

Error open_read(const PathChar* name, Handle& out) { return open_read_once(name, out); }

void close(Handle h)
{
    if (h != INVALID_HANDLE_VALUE && h != nullptr)
        CloseHandle(h);
}

Error read_at(Handle h, void* data, std::size_t n, std::int64_t offset, std::size_t& got)
{
    got = 0;
    if (offset < 0)
        return error_invalid;
    if (!has_positions(h))
        return error_not_seekable;
    while (got < n) {
        std::size_t moved;
        if (const Error error = read_one(h, static_cast<char*>(data) + got, n - got,
                                         offset + static_cast<std::int64_t>(got), moved))
            return error;
        if (moved == 0)
            break;
        got += moved;
    }
    return 0;
}

// ReadFileScatter needs unbuffered, page-aligned I/O: the parts are read in turn.
Error read_at(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got)
{
    got = 0;
    for (std::size_t p = 0; p < count; ++p) {
        std::size_t moved;
        if (const Error error = read_at(h, parts[p].data, parts[p].size, offset + static_cast<std::int64_t>(got), moved))
            return error;
        got += moved;
        if (moved < parts[p].size)
            break;
    }
    return 0;
}

Error read_next(Handle h, void* data, std::size_t n, std::size_t& got) { return read_one(h, data, n, -1, got); }

Error read_once(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got)
{
    got = 0;
    if (count == 0)
        return 0;
    if (offset >= 0 && !has_positions(h))
        return error_not_seekable;
    // The first part that wants bytes, in one call: a short read may stop anywhere.
    std::size_t p = 0;
    while (p + 1 < count && parts[p].size == 0)
        ++p;
    return read_one(h, parts[p].data, parts[p].size, offset, got);
}

Error position(Handle h, std::int64_t& where)
{
    if (!has_positions(h))
        return error_not_seekable;
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(h, zero, &at, FILE_CURRENT))
        return last_error();
    where = at.QuadPart;
    return 0;
}

Error seek(Handle h, std::int64_t offset)
{
    if (!has_positions(h))
        return error_not_seekable;
    if (offset < 0)
        return error_invalid;
    LARGE_INTEGER to{};
    to.QuadPart = offset;
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) ? 0 : last_error();
}

Error describe(Handle h, Kind& kind, std::int64_t& size)
{
    size = -1;
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(h);
    switch (type) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(h, &info))
            return last_error();
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            kind = Kind::directory;
            return 0;
        }
        LARGE_INTEGER bytes;
        if (!GetFileSizeEx(h, &bytes))
            return last_error();
        kind = Kind::regular;
        if (bytes.QuadPart > 0)
            size = bytes.QuadPart;
        return 0;
    }
    case FILE_TYPE_PIPE:
        kind = Kind::stream;
        return 0;
    case FILE_TYPE_CHAR:  // a console, NUL, a serial port
        kind = Kind::other;
        return 0;
    default:
        if (GetLastError() != NO_ERROR)
            return last_error();
        kind = Kind::other;
        return 0;
    }
}

Error map_read(Handle h, std::int64_t size, Mapping& out)
{
    out = Mapping{};
    if (size == 0)
        return 0;  // an empty file cannot be mapped, and needs no map
    if (static_cast<std::uint64_t>(size) > SIZE_MAX)
        return ERROR_NOT_ENOUGH_MEMORY;
    // The view keeps the section alive: its handle is closed at once.
    const HANDLE section = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!section)
        return last_error();
    void* data = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    const Error error = data ? 0 : last_error();
    CloseHandle(section);
    if (error)
        return error;
    out.data = static_cast<const char*>(data);
    out.size = size;
    return 0;
}

void unmap(Mapping& m)
{
    if (m.data)
        UnmapViewOfFile(m.data);
    m = Mapping{};
}

#ifndef QUORIN_OSFILE_NO_PYTHON
Path::~Path()
{
    Py_XDECREF(object_);
    PyMem_Free(wide_);
}

bool Path::convert(PyObject* path)
{
    PyObject* fs = PyOS_FSPath(path);
    if (!fs)
        return false;
    // bytes decode as os.fsdecode decodes them, as the host's open() does.
    PyObject* text = nullptr;
    if (!PyUnicode_FSDecoder(fs, &text)) {
        Py_DECREF(fs);
        return false;
    }
    Py_ssize_t length = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(text, &length);
    Py_DECREF(text);
    if (!wide) {
        Py_DECREF(fs);
        return false;
    }
    if (static_cast<std::size_t>(length) != std::wcslen(wide)) {
        PyMem_Free(wide);
        Py_DECREF(fs);
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return false;
    }
    Py_XSETREF(object_, fs);
    PyMem_Free(wide_);
    wide_ = wide;
    return true;
}

const PathChar* Path::native() const { return static_cast<const wchar_t*>(wide_); }

Error open_read(const Path& path, Handle& out) { return open_read(path.native(), out); }

namespace {

// The errno that the interpreter's own OSError derives from a Windows error
// (its table is the C runtime's); -1 with an exception set.
int errno_of(Error error)
{
    PyObject* probe = PyObject_CallFunction(PyExc_OSError, "isOk", 0, "", Py_None, static_cast<unsigned long>(error));
    if (!probe)
        return -1;
    PyObject* value = PyObject_GetAttrString(probe, "errno");
    Py_DECREF(probe);
    if (!value)
        return -1;
    const long number = PyLong_AsLong(value);
    Py_DECREF(value);
    return number == -1 && PyErr_Occurred() ? -1 : static_cast<int>(number);
}

}  // namespace

PyObject* raise_error(Error error, PyObject* path)
{
    // The host's open() and its file objects fail through the C runtime,
    // which turns the Windows error into an errno: OSError(errno, the C
    // runtime's message for it, filename), with no winerror.  So here, that
    // code written against open() handles ours.  Windows has no codes for
    // the first three; the rest are mapped as the C runtime maps them.
    int errno_value;
    if (error == error_is_directory)
        errno_value = EISDIR;
    else if (error == error_not_seekable)
        errno_value = ESPIPE;
    else if (error == error_invalid)
        errno_value = EINVAL;
    else if ((errno_value = errno_of(error)) < 0)
        return nullptr;
    errno = errno_value;
    return path ? PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path) : PyErr_SetFromErrno(PyExc_OSError);
}
#endif

}  // namespace quorin::os
