// The file layer on POSIX systems: Linux, macOS and the BSDs.
#include "osfile.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#ifdef __APPLE__
#include <AvailabilityMacros.h>
#endif
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace quorin::os {

const Handle invalid_handle = -1;
const Error error_is_directory = EISDIR;
const Error error_not_seekable = ESPIPE;
const Error error_invalid = EINVAL;
const Error error_not_mappable = ENODEV;
const Error error_interrupted = EINTR;
const int open_audit_flags = O_RDONLY | O_CLOEXEC;

bool means_not_seekable(Error error) { return error == ESPIPE || error == ENXIO; }

namespace {

// One read(2) moves at most this much on Linux, and macOS refuses a read
// of more than INT_MAX bytes (EINVAL), so no call asks for more.
constexpr std::size_t single_read_max = 0x7ffff000;

int iov_max()
{
    static const int limit = [] {
        const long n = sysconf(_SC_IOV_MAX);
        return n > 0 ? static_cast<int>(std::min<long>(n, INT_MAX)) : 16;
    }();
    return limit;
}

// macOS has preadv only from 11: a build for older ones reads one part per call.
#if defined(__APPLE__) && defined(__MAC_OS_X_VERSION_MIN_REQUIRED) && __MAC_OS_X_VERSION_MIN_REQUIRED < 110000
constexpr bool have_preadv = false;
ssize_t preadv(int fd, const iovec* iov, int, off_t offset) { return ::pread(fd, iov[0].iov_base, iov[0].iov_len, offset); }
#else
constexpr bool have_preadv = true;
using ::preadv;
#endif

}  // namespace

Error open_read_once(const PathChar* name, Handle& out)
{
    const int fd = ::open(name, open_audit_flags);
    if (fd < 0)
        return errno;
    out = fd;
    return 0;
}

Error open_read(const PathChar* name, Handle& out)
{
    Error error;
    do
        error = open_read_once(name, out);
    while (error == EINTR);
    return error;
}

void close(Handle h)
{
    if (h >= 0)
        ::close(h);
}

Error read_at(Handle h, void* data, std::size_t n, std::int64_t offset, std::size_t& got)
{
    got = 0;
    while (got < n) {
        const std::size_t want = std::min(n - got, single_read_max);
        const auto at = static_cast<off_t>(offset + static_cast<std::int64_t>(got));
        const ssize_t r = ::pread(h, static_cast<char*>(data) + got, want, at);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (r == 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return 0;
}

Error read_at(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got)
{
    got = 0;
    if (count == 1)
        return read_at(h, parts[0].data, parts[0].size, offset, got);
    // iovecs are built a batch at a time; a part read short continues where it stopped.
    constexpr int batch = 64;
    iovec iov[batch];
    std::size_t part = 0, into = 0;  // the next byte to fill: parts[part], `into` bytes in
    while (part < count) {
        int n = 0;
        std::size_t bytes = 0;
        for (std::size_t p = part; p < count && n < std::min(batch, iov_max()); ++p) {
            const std::size_t skip = p == part ? into : 0;
            if (parts[p].size == skip)
                continue;
            iov[n].iov_base = static_cast<char*>(parts[p].data) + skip;
            iov[n].iov_len = std::min(parts[p].size - skip, single_read_max - bytes);
            bytes += iov[n].iov_len;
            ++n;
            if (bytes >= single_read_max)
                break;
        }
        if (n == 0)
            break;
        const auto at = static_cast<off_t>(offset + static_cast<std::int64_t>(got));
        const ssize_t r = preadv(h, iov, have_preadv ? n : 1, at);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (r == 0)
            return 0;
        std::size_t moved = static_cast<std::size_t>(r);
        got += moved;
        while (part < count && moved >= parts[part].size - into) {
            moved -= parts[part].size - into;
            ++part;
            into = 0;
        }
        into += moved;
    }
    return 0;
}

Error read_next(Handle h, void* data, std::size_t n, std::size_t& got)
{
    ssize_t r;
    do
        r = ::read(h, data, std::min(n, single_read_max));
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        got = 0;
        return errno;
    }
    got = static_cast<std::size_t>(r);
    return 0;
}

Error read_once(Handle h, const Buffer* parts, std::size_t count, std::int64_t offset, std::size_t& got)
{
    got = 0;
    ssize_t r;
    if (count == 1) {
        const std::size_t n = std::min(parts[0].size, single_read_max);
        r = offset >= 0 ? ::pread(h, parts[0].data, n, static_cast<off_t>(offset)) : ::read(h, parts[0].data, n);
    } else {
        // Buffer is laid out as iovec is on every system this builds for.
        static_assert(sizeof(Buffer) == sizeof(iovec) && offsetof(Buffer, data) == offsetof(iovec, iov_base) &&
                      offsetof(Buffer, size) == offsetof(iovec, iov_len));
        const auto* iov = reinterpret_cast<const iovec*>(parts);
        int n = static_cast<int>(std::min<std::size_t>(count, static_cast<std::size_t>(iov_max())));
        // No more than one read may move: the parts that fit whole, or the
        // first one cut to size (a short read, which callers expect).
        std::size_t bytes = 0;
        for (int i = 0; i < n; ++i) {
            if (iov[i].iov_len > single_read_max - bytes) {
                if (i == 0)
                    return read_once(h, parts, 1, offset, got);
                n = i;
                break;
            }
            bytes += iov[i].iov_len;
        }
        r = offset >= 0 ? preadv(h, iov, have_preadv ? n : 1, static_cast<off_t>(offset)) : ::readv(h, iov, n);
    }
    if (r < 0)
        return errno;
    got = static_cast<std::size_t>(r);
    return 0;
}

Error position(Handle h, std::int64_t& where)
{
    const off_t r = ::lseek(h, 0, SEEK_CUR);
    if (r < 0)
        return errno;
    where = r;
    return 0;
}

Error seek(Handle h, std::int64_t offset)
{
    return ::lseek(h, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

Error describe(Handle h, Kind& kind, std::int64_t& size)
{
    struct stat sb;
    if (fstat(h, &sb) < 0)
        return errno;
    size = -1;
    if (S_ISREG(sb.st_mode)) {
        kind = Kind::regular;
        // procfs and sysfs files say 0 whatever they hold.
        if (sb.st_size > 0)
            size = sb.st_size;
    } else if (S_ISDIR(sb.st_mode)) {
        kind = Kind::directory;
    } else if (S_ISFIFO(sb.st_mode) || S_ISSOCK(sb.st_mode)) {
        kind = Kind::stream;
    } else {
        kind = Kind::other;
    }
    return 0;
}

Error map_read(Handle h, std::int64_t size, Mapping& out)
{
    out = Mapping{};
    if (size == 0)
        return 0;
    void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, h, 0);
    if (data == MAP_FAILED)
        return errno;
    out.data = static_cast<const char*>(data);
    out.size = size;
    return 0;
}

void unmap(Mapping& m)
{
    if (m.data)
        ::munmap(const_cast<char*>(m.data), static_cast<std::size_t>(m.size));
    m = Mapping{};
}

#ifndef QUORIN_OSFILE_NO_PYTHON
Path::~Path()
{
    Py_XDECREF(object_);
    Py_XDECREF(encoded_);
}

bool Path::convert(PyObject* path)
{
    PyObject* fs = PyOS_FSPath(path);
    if (!fs)
        return false;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(fs, &encoded)) {
        Py_DECREF(fs);
        return false;
    }
    Py_XSETREF(object_, fs);
    Py_XSETREF(encoded_, encoded);
    return true;
}

const PathChar* Path::native() const { return encoded_ ? PyBytes_AS_STRING(encoded_) : nullptr; }

Error open_read(const Path& path, Handle& out) { return open_read(path.native(), out); }

PyObject* raise_error(Error error, PyObject* path)
{
    errno = error;
    if (path)
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return PyErr_SetFromErrno(PyExc_OSError);
}
#endif

}  // namespace quorin::os
