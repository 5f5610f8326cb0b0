#include "fields.hpp"

#include "state.hpp"

#include <bit>
#include <cstring>

namespace quorin {
namespace {

template <typename T>
T load_le(const char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        if constexpr (sizeof v == 2)
            v = static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
        else if constexpr (sizeof v == 4)
            v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
        else
            v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
    }
    return v;
}

Ref unpack_field(const Field& f, const char* p, std::int32_t word, bool native_text)
{
    switch (f.kind) {
    case Kind::u16:
        return Ref(PyLong_FromLong(load_le<std::uint16_t>(p)));
    case Kind::u32:
        return Ref(PyLong_FromUnsignedLong(load_le<std::uint32_t>(p)));
    case Kind::u64:
        return Ref(PyLong_FromUnsignedLongLong(load_le<std::uint64_t>(p)));
    case Kind::f32: {
        // The host's own unpacking, so every bit pattern widens as struct does.
        const double d = PyFloat_Unpack4(p, 1);
        if (d == -1.0 && PyErr_Occurred())
            return Ref();
        return Ref(PyFloat_FromDouble(d));
    }
    case Kind::byte:
        return Ref(PyBytes_FromStringAndSize(p, 1));
    case Kind::chars:
        return native_text ? decode_text(p, f.width) : Ref(PyBytes_FromStringAndSize(p, f.width));
    case Kind::bit:
        return Ref::borrow((word >> f.bit) & 1 ? Py_True : Py_False);
    case Kind::pad:
    case Kind::bits:
        break;
    }
    return Ref();
}

// self.<name> = value.  Names are interned str, so the type's own setter is
// called directly, as PyObject_SetAttr would after checking the name.
bool set_attr(PyObject* self, PyObject* name, PyObject* value)
{
    return Py_TYPE(self)->tp_setattro(self, name, value) == 0;
}

// Calls the module's current decode_string on a bytes-like value.
Ref call_decode_string(State& st, PyObject* raw)
{
    PyObject* fn = st.global(Name::decode_string);
    return fn ? Ref(PyObject_CallOneArg(fn, raw)) : Ref();
}

// The text of `n` raw bytes, through decode_string unless it is the module's own.
Ref text_of(State& st, const char* p, Py_ssize_t n)
{
    PyObject* fn = st.global(Name::decode_string);
    if (!fn)
        return Ref();
    if (st.is_own(fn, Name::decode_string))
        return decode_text(p, n);
    Ref raw(PyBytes_FromStringAndSize(p, n));
    return raw ? Ref(PyObject_CallOneArg(fn, raw.get())) : Ref();
}

// The byte count a read_string length stands for, or -1 when it is anything
// but a plain non-negative int (then the host's own unpacking must judge it).
Py_ssize_t plain_length(PyObject* max_len)
{
    if (!PyLong_CheckExact(max_len))
        return -1;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(max_len, &overflow);
    return overflow || n < 0 || n > PY_SSIZE_T_MAX ? -1 : static_cast<Py_ssize_t>(n);
}

// read_string for lengths that are not plain ints: f.read(max_len), then
// struct.unpack(str(max_len) + "s", s)[0] through decode_string.
Ref read_string_generic(State& st, PyObject* f, PyObject* max_len)
{
    Ref s(PyObject_CallMethodOneArg(f, st.name(Name::read), max_len));
    if (!s)
        return Ref();
    Ref fmt(PyUnicode_Check(max_len) ? Py_NewRef(max_len) : PyObject_Str(max_len));
    if (!fmt)
        return Ref();
    Ref full(PyUnicode_FromFormat("%Us", fmt.get()));
    if (!full)
        return Ref();
    PyObject* args[] = {full.get(), s.get()};
    Ref values(PyObject_Vectorcall(st.struct_unpack.get(), args, 2, nullptr));
    if (!values)
        return Ref();
    Ref raw(PySequence_GetItem(values.get(), 0));
    return raw ? call_decode_string(st, raw.get()) : Ref();
}

// One text step: read_string(f, length), natively while read_string is the module's own.
Ref read_text(State& st, Source& src, PyObject* max_len)
{
    PyObject* fn = st.global(Name::read_string);
    if (!fn)
        return Ref();
    const Py_ssize_t n = plain_length(max_len);
    if (!st.is_own(fn, Name::read_string) || n < 0) {
        PyObject* args[] = {src.file(), max_len};
        return Ref(PyObject_Vectorcall(fn, args, 2, nullptr));
    }
    const char* p = src.take(n);
    return p ? text_of(st, p, n) : Ref();
}

bool decode_group(State& st, const Step& step, PyObject* self, Source& src)
{
    bool native_text = true;
    if (step.has_chars) {
        PyObject* fn = st.global(Name::decode_string);
        if (!fn)
            return false;
        native_text = st.is_own(fn, Name::decode_string);
    }

    // A copy, since setting an attribute may run code that reads on.
    char bytes[max_group_size];
    const char* taken = src.take(step.size);
    if (!taken)
        return false;
    std::memcpy(bytes, taken, static_cast<std::size_t>(step.size));
    const char* p = bytes;
    std::int32_t word = 0;
    for (const Field& f : step.fields) {
        if (f.kind == Kind::bits)
            word = load_le<std::int32_t>(p);
        if (f.kind != Kind::pad && f.kind != Kind::bits) {
            Ref value = unpack_field(f, p, word, native_text);
            if (!value || !set_attr(self, st.name(f.name), value.get()))
                return false;
        }
        p += f.width;
    }

    // Raw char fields, stored as bytes above, become text through the
    // caller's decode_string, one after the other in layout order.
    if (!native_text) {
        for (const Field& f : step.fields) {
            if (f.kind != Kind::chars)
                continue;
            Ref raw(PyObject_GetAttr(self, st.name(f.name)));
            Ref text = raw ? call_decode_string(st, raw.get()) : Ref();
            if (!text || !set_attr(self, st.name(f.name), text.get()))
                return false;
        }
    }
    return true;
}

bool decode_text_step(State& st, const Step& step, PyObject* self, Source& src)
{
    Ref length;
    if (step.length_constant != Name::count)
        length = Ref::borrow(st.global(step.length_constant));
    else
        length = Ref(PyLong_FromLong(step.length));
    if (!length)
        return false;
    Ref value = read_text(st, src, length.get());
    return value && set_attr(self, st.name(step.attr), value.get());
}

bool decode_nested(State& st, const Step& step, PyObject* self, Source& src)
{
    PyObject* cls = st.global(step.record->class_name);
    Ref value = cls ? construct(st, cls, *step.record, src) : Ref();
    return value && set_attr(self, st.name(step.attr), value.get());
}

bool decode_list(State& st, const Step& step, PyObject* self, Source& src)
{
    const Record* rec = step.record;
    if (step.alt_record) {
        Ref haystack(PyObject_GetAttr(self, st.name(step.alt_attr)));
        const int found = haystack ? PySequence_Contains(haystack.get(), st.name(step.alt_text)) : -1;
        if (found < 0)
            return false;
        if (found)
            rec = step.alt_record;
    }
    PyObject* cls = st.global(rec->class_name);
    Ref count_obj(cls ? PyObject_GetAttr(self, st.name(step.count_attr)) : nullptr);
    if (!count_obj)
        return false;
    const Py_ssize_t count = PyNumber_AsSsize_t(count_obj.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred())
        return false;
    Ref items(PyList_New(0));
    if (!items)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = construct(st, cls, *rec, src);
        if (!item || PyList_Append(items.get(), item.get()) < 0)
            return false;
    }
    return set_attr(self, st.name(step.attr), items.get());
}

// The __init__ that `super(cls, self).__init__` finds for a `self` of type `type`.
Ref base_init(PyTypeObject* type, PyObject* cls, PyObject* init_name)
{
    PyObject* mro = type->tp_mro;  // borrowed from the type
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls)
        ++i;
    for (++i; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* found = PyDict_GetItemWithError(dict, init_name);
        if (found || PyErr_Occurred())
            return Ref::borrow(found);
    }
    PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '__init__'");
    return Ref();
}

// Runs the base class's construction on the same file, as super().__init__(f).
bool decode_base(State& st, const Step& step, const Record& rec, PyObject* self, Source& src)
{
    PyObject* cls = st.bound[index(rec.class_name)].get();
    Ref init = base_init(Py_TYPE(self), cls, st.name(Name::dunder_init));
    if (!init)
        return false;
    if (init.get() == st.inits[static_cast<std::size_t>(step.record->id)].get())
        return decode_into(st, *step.record, self, src);
    descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
    Ref bound(get ? get(init.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))) : Py_NewRef(init.get()));
    Ref result(bound ? PyObject_CallOneArg(bound.get(), src.file()) : nullptr);
    return static_cast<bool>(result);
}

PyObject* decode_string_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"s"};
    PyObject* s;
    if (!bind_arguments("decode_string", args, nargs, kwnames, params, &s))
        return nullptr;
    if (PyBytes_CheckExact(s))
        return decode_text(PyBytes_AS_STRING(s), PyBytes_GET_SIZE(s)).release();
    // Anything else takes the host's own route: s.split(b"\0")[0].decode("ascii", errors="ignore").
    State& st = module_state(module);
    Ref zero(PyBytes_FromStringAndSize("", 1));
    Ref pieces(zero ? PyObject_CallMethodOneArg(s, st.name(Name::split), zero.get()) : nullptr);
    Ref first(pieces ? PySequence_GetItem(pieces.get(), 0) : nullptr);
    Ref keywords(first ? PyTuple_Pack(1, st.name(Name::errors)) : nullptr);
    if (!keywords)
        return nullptr;
    PyObject* call[] = {first.get(), st.name(Name::ascii), st.name(Name::ignore)};
    return PyObject_VectorcallMethod(st.name(Name::decode), call, 2, keywords.get());
}

PyObject* read_string_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"f", "max_len"};
    PyObject* argv[2];
    if (!bind_arguments("read_string", args, nargs, kwnames, params, argv))
        return nullptr;
    State& st = module_state(module);
    const Py_ssize_t n = plain_length(argv[1]);
    if (n < 0)
        return read_string_generic(st, argv[0], argv[1]).release();
    PySource src(st, argv[0]);
    const char* p = src.take(n);
    return p ? text_of(st, p, n).release() : nullptr;
}

PyObject* record_init_impl(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    static constexpr const char* params[] = {"f"};
    PyObject* f;
    if (!bind_arguments("__init__", args, nargs, kwnames, params, &f))
        return nullptr;
    State& st = class_state(defining_class);
    const Record* rec = st.record_of(reinterpret_cast<PyObject*>(defining_class));
    if (!rec) {
        PyErr_SetString(PyExc_TypeError, "__init__() called on a class that is not a record class");
        return nullptr;
    }
    PySource src(st, f);
    if (!decode_into(st, *rec, self, src))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

void raise_wrong_size(State& st, Py_ssize_t wanted)
{
    PyErr_Format(st.struct_error.get(), "unpack requires a buffer of %zd bytes", wanted);
}

void PySource::release()
{
    if (viewing_)
        PyBuffer_Release(&view_);
    viewing_ = false;
    chunk_.reset();
}

const char* PySource::take(Py_ssize_t n)
{
    release();
    Ref size(PyLong_FromSsize_t(n));
    if (!size)
        return nullptr;
    chunk_ = Ref(PyObject_CallMethodOneArg(f_, st_.name(Name::read), size.get()));
    if (!chunk_)
        return nullptr;
    const char* data;
    Py_ssize_t len;
    if (PyBytes_CheckExact(chunk_.get())) {
        data = PyBytes_AS_STRING(chunk_.get());
        len = PyBytes_GET_SIZE(chunk_.get());
    } else {
        // struct.unpack takes any bytes-like object and rejects the rest so.
        if (PyObject_GetBuffer(chunk_.get(), &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'",
                         Py_TYPE(chunk_.get())->tp_name);
            return nullptr;
        }
        viewing_ = true;
        data = static_cast<const char*>(view_.buf);
        len = view_.len;
    }
    if (len != n) {
        raise_wrong_size(st_, n);
        return nullptr;
    }
    return data;
}

Ref decode_text(const char* p, Py_ssize_t n)
{
    if (const void* zero = std::memchr(p, 0, static_cast<std::size_t>(n)))
        n = static_cast<const char*>(zero) - p;
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        kept += static_cast<unsigned char>(p[i]) < 0x80;
    Ref text(PyUnicode_New(kept, 127));
    if (!text)
        return text;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    if (kept == n) {
        std::memcpy(out, p, static_cast<std::size_t>(n));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (static_cast<unsigned char>(p[i]) < 0x80)
                *out++ = static_cast<Py_UCS1>(p[i]);
    }
    return text;
}

bool decode_into(State& st, const Record& rec, PyObject* self, Source& src)
{
    for (const Step& step : rec.steps) {
        bool ok = false;
        switch (step.op) {
        case Step::group:
            ok = decode_group(st, step, self, src);
            break;
        case Step::text:
            ok = decode_text_step(st, step, self, src);
            break;
        case Step::nested:
            ok = decode_nested(st, step, self, src);
            break;
        case Step::list:
            ok = decode_list(st, step, self, src);
            break;
        case Step::base:
            ok = decode_base(st, step, rec, self, src);
            break;
        }
        if (!ok)
            return false;
    }
    return true;
}

Ref construct(State& st, PyObject* cls, const Record& rec, Source& src)
{
    if (!st.is_own_record_class(cls, rec))
        return Ref(PyObject_CallOneArg(cls, src.file()));
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref obj(type->tp_new(type, st.empty_tuple.get(), nullptr));
    if (!obj || !decode_into(st, rec, obj.get(), src))
        return Ref();
    return obj;
}

namespace {

// Whether constructing `rec` for a `type` of the module's own runs none of
// the caller's code: read_string and decode_string are the module's own,
// text lengths are plain, and a base construction is the module's own.
// -1 on error.
int runs_only_own_code(State& st, PyTypeObject* type, const Record& rec)
{
    auto own = [&st](Name n) {
        PyObject* obj = st.global(n);
        return obj ? static_cast<int>(st.is_own(obj, n)) : -1;
    };
    for (const Step& step : rec.steps) {
        int ok = 1;
        switch (step.op) {
        case Step::group:
            if (step.has_chars)
                ok = own(Name::decode_string);
            break;
        case Step::text:
            ok = own(Name::read_string);
            if (ok > 0)
                ok = own(Name::decode_string);
            if (ok > 0 && step.length_constant != Name::count) {
                PyObject* length = st.global(step.length_constant);
                ok = length ? plain_length(length) >= 0 : -1;
            }
            break;
        case Step::base: {
            Ref init = base_init(type, st.bound[index(rec.class_name)].get(), st.name(Name::dunder_init));
            ok = !init ? -1 : init.get() == st.inits[static_cast<std::size_t>(step.record->id)].get();
            if (ok > 0)
                ok = runs_only_own_code(st, type, *step.record);
            break;
        }
        case Step::nested:
        case Step::list:
            ok = 0;  // records that hold others are always built whole
            break;
        }
        if (ok <= 0)
            return ok;
    }
    return 1;
}

// Reads `rec` from src as decode_into does, keeping only attribute `attr`;
// runs_only_own_code has vouched for every step.
bool read_attribute(State& st, const Record& rec, Name attr, Source& src, Ref& found)
{
    for (const Step& step : rec.steps) {
        if (step.op == Step::base) {
            if (!read_attribute(st, *step.record, attr, src, found))
                return false;
        } else if (step.op == Step::group) {
            const char* p = src.take(step.size);
            if (!p)
                return false;
            std::int32_t word = 0;
            for (const Field& f : step.fields) {
                if (f.kind == Kind::bits)
                    word = load_le<std::int32_t>(p);
                if (f.name == attr && !(found = unpack_field(f, p, word, true)))
                    return false;
                p += f.width;
            }
        } else {  // a text step: read_string and decode_string are the module's own here
            Py_ssize_t n = step.length;
            if (step.length_constant != Name::count) {
                PyObject* length = st.global(step.length_constant);
                if (!length)
                    return false;
                n = plain_length(length);
            }
            const char* p = src.take(n);
            if (!p || (step.attr == attr && !(found = decode_text(p, n))))
                return false;
        }
    }
    return true;
}

}  // namespace

Ref decode_attribute(State& st, PyObject* cls, const Record& rec, Name attr, Source& src)
{
    if (st.is_own_record_class(cls, rec)) {
        const int own = runs_only_own_code(st, reinterpret_cast<PyTypeObject*>(cls), rec);
        if (own < 0)
            return Ref();
        Ref found;
        if (own)
            return read_attribute(st, rec, attr, src, found) ? std::move(found) : Ref();
    }
    Ref record = construct(st, cls, rec, src);
    return record ? Ref(PyObject_GetAttr(record.get(), st.name(attr))) : Ref();
}

PyMethodDef decode_string_def = {"decode_string", as_cfunction(decode_string_impl), function_flags,
                                 "decode_string(s)\n--\n\n"
                                 "The text of a fixed byte field: the bytes before the first zero byte,\n"
                                 "decoded as ASCII with bytes 0x80 to 0xFF dropped."};

PyMethodDef read_string_def = {"read_string", as_cfunction(read_string_impl), function_flags,
                               "read_string(f, max_len)\n--\n\n"
                               "Read a text field of max_len bytes from f and return its text."};

PyMethodDef record_init_def = {"__init__", as_cfunction(record_init_impl), method_flags,
                               "__init__($self, /, f)\n--\n\n"
                               "Read the record from the binary file f, positioned at its first byte."};

}  // namespace quorin
