#include "fields.hpp"

#include "compat.hpp"
#include "plainclass.hpp"
#include "state.hpp"

#include <cstring>
#include <type_traits>
#include <utility>

namespace quorin {
namespace {

// A little-endian integer, on any host: compilers make the loop one load.
template <typename T>
T load_le(const char* p)
{
    std::make_unsigned_t<T> v = 0;
    for (std::size_t i = sizeof(T); i-- > 0;)
        v = static_cast<decltype(v)>(v << 8 | static_cast<unsigned char>(p[i]));
    return static_cast<T>(v);
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

// The text of `n` raw bytes, through decode_string unless it is the module's own.
Ref text_of(State& st, const char* p, Py_ssize_t n)
{
    Ref fn = st.global(Name::decode_string);
    if (!fn)
        return Ref();
    if (st.is_own(fn.get(), Name::decode_string))
        return decode_text(p, n);
    Ref raw(PyBytes_FromStringAndSize(p, n));
    return raw ? Ref(PyObject_CallOneArg(fn.get(), raw.get())) : Ref();
}

// super(cls, self).__init__, bound to self: the base construction a
// subclass's __init__ runs.
Ref base_init(State& st, PyObject* cls, PyObject* self)
{
    PyObject* args[] = {cls, self};
    Ref parent(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr));
    return parent ? Ref(PyObject_GetAttr(parent.get(), st.name(Name::dunder_init))) : Ref();
}

// Whether `bound` is the module's own __init__ of record `rec`, bound.
bool is_own_init(State& st, PyObject* bound, const Record& rec)
{
    return PyCFunction_Check(bound) && PyCFunction_GET_FUNCTION(bound) == record_init_def.ml_meth &&
           PyCFunction_GET_CLASS(bound) == reinterpret_cast<PyTypeObject*>(st.bound[index(rec.class_name)].get());
}

PyObject* decode_string_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"s"};
    PyObject* s;
    if (!bind_arguments("decode_string", args, nargs, kwnames, params, &s))
        return nullptr;
    if (PyBytes_CheckExact(s))
        return decode_text(PyBytes_AS_STRING(s), PyBytes_GET_SIZE(s)).release();
    // Anything else takes the host's own route.
    return PyObject_CallOneArg(module_state(module).decode_any.get(), s);
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
        return PyObject_Vectorcall(st.read_string_any.get(), argv, 2, nullptr);  // the host's own unpacking
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
    if (!Decoder(st, src).into(*rec, self))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

Py_ssize_t plain_length(PyObject* max_len)
{
    if (!PyLong_CheckExact(max_len))
        return -1;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(max_len, &overflow);
    return overflow || n < 0 || n > PY_SSIZE_T_MAX ? -1 : static_cast<Py_ssize_t>(n);
}

bool index_to_int64(PyObject* obj, std::int64_t& out, int& overflow)
{
    Ref index(PyNumber_Index(obj));
    if (!index)
        return false;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    out = v;
    return !(v == -1 && PyErr_Occurred());
}

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
    // Most text is plain ASCII: look for high bits eight bytes at a time.
    Py_ssize_t i = 0;
    for (std::uint64_t word; i + 8 <= n; i += 8) {
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080u)
            break;
    }
    Py_ssize_t kept = i;
    for (; i < n; ++i)
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

const char* MemorySource::take(Py_ssize_t n)
{
    if (size_ - pos_ < n) {
        pos_ = size_;
        raise_wrong_size(st_, n);
        return nullptr;
    }
    const char* p = data_ + pos_;
    pos_ += n;
    return p;
}

PyObject* MemorySource::file()
{
    PyErr_SetString(PyExc_TypeError, "bytes in memory are decoded by the module's own records only");
    return nullptr;
}

Py_ssize_t own_length(Name constant)
{
    return constant == Name::ST_ID_LENGTH ? st_id_length : constant == Name::FILE_ID_LENGTH ? file_id_length : max_path;
}

bool Decoder::keep(Name name, Ref value, PyObject* to)
{
    if (!value)
        return false;
    if (own_)
        return PyDict_SetItem(to, st_.name(name), value.get()) == 0;
    return set_attr(to, st_.name(name), value.get());
}

// A value decoded earlier in the record, as the record holds it now.
Ref Decoder::recall(Name name, PyObject* to)
{
    if (!own_)
        return Ref(PyObject_GetAttr(to, st_.name(name)));
    PyObject* value = PyDict_GetItemWithError(to, st_.name(name));
    if (!value && !PyErr_Occurred())
        PyErr_SetObject(PyExc_AttributeError, st_.name(name));
    return Ref::borrow(value);
}

bool Decoder::group(const Step& step, PyObject* to)
{
    bool native_text = true;
    if (step.has_chars && !own_) {
        Ref fn = st_.global(Name::decode_string);
        if (!fn)
            return false;
        native_text = st_.is_own(fn.get(), Name::decode_string);
    }

    const char* taken = src_.take(step.size);
    if (!taken)
        return false;
    // Setting an attribute may run code that reads on: then the bytes are copied first.
    char bytes[max_group_size];
    if (!own_)
        std::memcpy(bytes, taken, static_cast<std::size_t>(step.size));
    const char* p = own_ ? taken : bytes;
    std::int32_t word = 0;
    for (const Field& f : step.fields) {
        if (f.kind == Kind::bits)
            word = load_le<std::int32_t>(p);
        else if (f.kind != Kind::pad && !keep(f.name, unpack_field(f, p, word, native_text), to))
            return false;
        p += f.width;
    }

    // Raw char fields, stored as bytes above, become text through the
    // caller's decode_string, one after the other in layout order.
    for (const Field& f : step.fields) {
        if (native_text || f.kind != Kind::chars)
            continue;
        Ref raw = recall(f.name, to);
        Ref fn = raw ? st_.global(Name::decode_string) : Ref();
        if (!keep(f.name, fn ? Ref(PyObject_CallOneArg(fn.get(), raw.get())) : Ref(), to))
            return false;
    }
    return true;
}

bool Decoder::text(const Step& step, PyObject* to)
{
    if (own_) {
        const Py_ssize_t n = own_text_length(step);
        const char* p = src_.take(n);
        return p && keep(step.attr, decode_text(p, n), to);
    }
    Ref length = step.length_constant != Name::count ? st_.global(step.length_constant)
                                                     : Ref(PyLong_FromLong(step.length));
    Ref fn = length ? st_.global(Name::read_string) : Ref();
    if (!fn)
        return false;
    const Py_ssize_t n = plain_length(length.get());
    if (!st_.is_own(fn.get(), Name::read_string) || n < 0) {
        PyObject* f = src_.file();
        if (!f)
            return false;
        PyObject* args[] = {f, length.get()};
        return keep(step.attr, Ref(PyObject_Vectorcall(fn.get(), args, 2, nullptr)), to);
    }
    const char* p = src_.take(n);
    return p && keep(step.attr, text_of(st_, p, n), to);
}

bool Decoder::list(const Step& step, PyObject* to)
{
    const Record* rec = step.record;
    if (step.alt_record) {
        Ref haystack = recall(step.alt_attr, to);
        const int found = haystack ? PySequence_Contains(haystack.get(), st_.name(step.alt_text)) : -1;
        if (found < 0)
            return false;
        if (found)
            rec = step.alt_record;
    }
    Ref cls = own_ ? Ref() : st_.global(rec->class_name);
    Ref count_obj = own_ || cls ? recall(step.count_attr, to) : Ref();
    if (!count_obj)
        return false;
    const Py_ssize_t count = PyNumber_AsSsize_t(count_obj.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred())
        return false;
    Ref items(PyList_New(0));
    if (!items)
        return false;
    // Items built natively run none of the caller's code: what was checked
    // for the first holds for the rest.
    const int own_items = own_ ? 1 : count ? own_class(cls.get(), *rec) : 0;
    if (own_items < 0)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = own_items ? construct_own(*rec) : call_class(cls.get());
        if (!item || PyList_Append(items.get(), item.get()) < 0)
            return false;
    }
    return keep(step.attr, std::move(items), to);
}

// Runs the base class's construction on the same file, as super().__init__(f).
bool Decoder::base(const Step& step, const Record& rec, PyObject* to)
{
    if (own_)
        return decode(*step.record, to);
    Ref init = base_init(st_, st_.bound[index(rec.class_name)].get(), to);
    if (!init)
        return false;
    if (is_own_init(st_, init.get(), *step.record))
        return decode(*step.record, to);
    PyObject* f = src_.file();
    return f && Ref(PyObject_CallOneArg(init.get(), f));
}

bool Decoder::decode(const Record& rec, PyObject* to)
{
    for (const Step& step : rec.steps) {
        bool ok = false;
        switch (step.op) {
        case Step::group:
            ok = group(step, to);
            break;
        case Step::text:
            ok = text(step, to);
            break;
        case Step::nested: {
            Ref cls = own_ ? Ref() : st_.global(step.record->class_name);
            ok = (own_ || cls) &&
                 keep(step.attr, own_ ? construct_own(*step.record) : construct(cls.get(), *step.record), to);
            break;
        }
        case Step::list:
            ok = list(step, to);
            break;
        case Step::base:
            ok = base(step, rec, to);
            break;
        }
        if (!ok)
            return false;
    }
    return true;
}

Ref Decoder::construct_own(const Record& rec)
{
    auto* type = reinterpret_cast<PyTypeObject*>(st_.bound[index(rec.class_name)].get());
    Ref obj(type->tp_alloc(type, 0));
    // A copy of the record's dictionary of field names: its values are
    // replaced in place, and it never grows while the record is decoded.
    Ref dict(obj ? PyDict_Copy(st_.field_dicts[static_cast<std::size_t>(rec.id)].get()) : nullptr);
    const bool outer = std::exchange(own_, true);
    const bool ok = dict && decode(rec, dict.get());
    own_ = outer;
    if (!ok)
        return Ref();
    return plain_set_instance_dict(obj.get(), std::move(dict)) ? std::move(obj) : Ref();
}

int Decoder::own_class(PyObject* cls, const Record& rec)
{
    return st_.is_own(cls, rec.class_name) ? st_.own(st_.scopes[static_cast<std::size_t>(rec.id)]) : 0;
}

Ref Decoder::call_class(PyObject* cls)
{
    PyObject* f = src_.file();
    return f ? Ref(PyObject_CallOneArg(cls, f)) : Ref();
}

Ref Decoder::construct(PyObject* cls, const Record& rec)
{
    const int own = own_class(cls, rec);
    if (own < 0)
        return Ref();
    return own ? construct_own(rec) : call_class(cls);
}

// The names of a record's fields in layout order, each once.
bool collect_field_names(State& st, const Record& rec, PyObject* dict)
{
    for (const Step& step : rec.steps) {
        if (step.op == Step::base) {
            if (!collect_field_names(st, *step.record, dict))
                return false;
            continue;
        }
        if (step.op == Step::group) {
            for (const Field& f : step.fields)
                if (f.kind != Kind::pad && f.kind != Kind::bits && PyDict_SetItem(dict, st.name(f.name), Py_None) < 0)
                    return false;
        } else if (PyDict_SetItem(dict, st.name(step.attr), Py_None) < 0) {
            return false;
        }
    }
    return true;
}

Py_ssize_t flat_size(const Record& rec)
{
    Py_ssize_t size = 0;
    for (const Step& step : rec.steps) {
        switch (step.op) {
        case Step::group:
            size += step.size;
            break;
        case Step::text:
            size += own_text_length(step);
            break;
        case Step::base: {
            const Py_ssize_t base = flat_size(*step.record);
            if (base < 0)
                return -1;
            size += base;
            break;
        }
        case Step::nested:
        case Step::list:
            return -1;
        }
    }
    return size;
}

namespace {

Ref find_field(const Record& rec, const char*& p, Name name)
{
    for (const Step& step : rec.steps) {
        if (step.op == Step::base || step.op == Step::nested) {
            if (Ref value = find_field(*step.record, p, name); value || PyErr_Occurred())
                return value;
        } else if (step.op == Step::list) {
            break;  // what follows a list has no fixed place
        } else if (step.op == Step::text) {
            const Py_ssize_t n = own_text_length(step);
            if (step.attr == name)
                return decode_text(p, n);
            p += n;
        } else {
            std::int32_t word = 0;
            for (const Field& f : step.fields) {
                if (f.kind == Kind::bits)
                    word = load_le<std::int32_t>(p);
                else if (f.name == name && f.kind != Kind::pad)
                    return unpack_field(f, p, word, true);
                p += f.width;
            }
        }
    }
    return Ref();
}

}  // namespace

Ref flat_field(const Record& rec, const char* p, Name name) { return find_field(rec, p, name); }

Ref field_dict(State& st, const Record& rec)
{
    Ref dict(PyDict_New());
    return dict && collect_field_names(st, rec, dict.get()) ? std::move(dict) : Ref();
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
