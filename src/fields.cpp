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

Ref unpack_field(const Field& f, const char* p, std::int32_t word)
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
        return decode_text(p, f.width);
    case Kind::bit:
        return Ref::borrow((word >> f.bit) & 1 ? Py_True : Py_False);
    case Kind::pad:
    case Kind::bits:
        break;
    }
    return Ref();
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

// The generic road's Python reads the field, as the record classes' own
// __init__ reads theirs: a caller's f and decode_string see what Python does.
PyObject* read_string_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"f", "max_len"};
    PyObject* argv[2];
    if (!bind_arguments("read_string", args, nargs, kwnames, params, argv))
        return nullptr;
    return PyObject_Vectorcall(module_state(module).read_string_py.get(), argv, 2, nullptr);
}

// Records built by a caller's call run the generic road's Python, which
// looks up whatever the caller bound as each step needs it.
PyObject* record_init_impl(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    static constexpr const char* params[] = {"f"};
    PyObject* f;
    if (!bind_arguments("__init__", args, nargs, kwnames, params, &f))
        return nullptr;
    State& st = class_state(defining_class);
    auto* cls = reinterpret_cast<PyObject*>(defining_class);
    PyObject* call[] = {self, f, cls, st.python_steps[static_cast<std::size_t>(st.record_of(cls)->id)].get()};
    return PyObject_Vectorcall(st.decode_into.get(), call, 4, nullptr);
}

}  // namespace

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
        for (Py_ssize_t k = 0; k < n; ++k)
            if (static_cast<unsigned char>(p[k]) < 0x80)
                *out++ = static_cast<Py_UCS1>(p[k]);
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

namespace {

// Each step decodes into `to`, the instance dictionary of the record being
// built, which holds every field's name in layout order from the start.
bool keep(State& st, Name name, Ref value, PyObject* to)
{
    return value && PyDict_SetItem(to, st.name(name), value.get()) == 0;
}

bool decode_group(State& st, Source& src, const Step& step, PyObject* to)
{
    const char* p = src.take(step.size);
    if (!p)
        return false;
    std::int32_t word = 0;
    for (const Field& f : step.fields) {
        if (f.kind == Kind::bits)
            word = load_le<std::int32_t>(p);
        else if (f.kind != Kind::pad && !keep(st, f.name, unpack_field(f, p, word), to))
            return false;
        p += f.width;
    }
    return true;
}

bool decode_list(State& st, Source& src, const Step& step, PyObject* to)
{
    // Values decoded earlier in the record: the dictionary holds every
    // field's name from the start, so a lookup finds one.
    const Record* rec = step.record;
    if (step.alt_record) {
        Ref haystack;
        const int found = dict_get_ref(to, st.name(step.alt_attr), haystack) > 0
                              ? PySequence_Contains(haystack.get(), st.name(step.alt_text))
                              : -1;
        if (found < 0)
            return false;
        if (found)
            rec = step.alt_record;
    }
    Ref count_obj;
    const Py_ssize_t count = dict_get_ref(to, st.name(step.count_attr), count_obj) > 0
                                 ? PyNumber_AsSsize_t(count_obj.get(), PyExc_OverflowError)
                                 : -1;
    Ref items(count < 0 ? nullptr : PyList_New(0));
    if (!items)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = construct_own(st, src, *rec);
        if (!item || PyList_Append(items.get(), item.get()) < 0)
            return false;
    }
    return keep(st, step.attr, std::move(items), to);
}

bool decode(State& st, Source& src, const Record& rec, PyObject* to)
{
    for (const Step& step : rec.steps) {
        bool ok = false;
        switch (step.op) {
        case Step::group:
            ok = decode_group(st, src, step, to);
            break;
        case Step::text: {
            const char* p = src.take(step.length);
            ok = p && keep(st, step.attr, decode_text(p, step.length), to);
            break;
        }
        case Step::nested:
            ok = keep(st, step.attr, construct_own(st, src, *step.record), to);
            break;
        case Step::list:
            ok = decode_list(st, src, step, to);
            break;
        case Step::base:
            ok = decode(st, src, *step.record, to);
            break;
        }
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

Ref construct_own(State& st, Source& src, const Record& rec)
{
    auto* type = reinterpret_cast<PyTypeObject*>(st.bound[index(rec.class_name)].get());
    Ref obj(type->tp_alloc(type, 0));
    // A copy of the record's dictionary of field names: its values are
    // replaced in place, and it never grows while the record is decoded.
    Ref dict(obj ? PyDict_Copy(st.field_dicts[static_cast<std::size_t>(rec.id)].get()) : nullptr);
    if (!dict || !decode(st, src, rec, dict.get()))
        return Ref();
    plain_set_instance_dict(obj.get(), std::move(dict));
    return obj;
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
        const Py_ssize_t n = step.op == Step::group ? step.size
                             : step.op == Step::text ? step.length
                             : step.op == Step::list ? -1  // a count decides its size
                                                     : flat_size(*step.record);
        if (n < 0)
            return -1;
        size += n;
    }
    return size;
}

Ref flat_field(const Record& rec, const char* p, Name name)
{
    for (const Step& step : rec.steps) {
        if (step.op == Step::base || step.op == Step::nested) {
            if (Ref value = flat_field(*step.record, p, name); value || PyErr_Occurred())
                return value;
            const Py_ssize_t size = flat_size(*step.record);
            if (size < 0)
                break;  // what follows a list has no fixed place
            p += size;
        } else if (step.op == Step::list) {
            break;
        } else if (step.op == Step::text) {
            if (step.attr == name)
                return decode_text(p, step.length);
            p += step.length;
        } else {
            std::int32_t word = 0;
            for (const Field& f : step.fields) {
                if (f.kind == Kind::bits)
                    word = load_le<std::int32_t>(p);
                else if (f.name == name && f.kind != Kind::pad)
                    return unpack_field(f, p, word);
                p += f.width;
            }
        }
    }
    return Ref();
}

Ref field_dict(State& st, const Record& rec)
{
    Ref dict(PyDict_New());
    return dict && collect_field_names(st, rec, dict.get()) ? std::move(dict) : Ref();
}

std::string struct_code(const Field& f)
{
    switch (f.kind) {
    case Kind::u16:
        return "H";
    case Kind::u32:
        return "I";
    case Kind::u64:
        return "Q";
    case Kind::f32:
        return "f";
    case Kind::bits:
        return "i";
    case Kind::pad:
        return std::to_string(f.width) + "x";
    case Kind::byte:
    case Kind::chars:
        return std::to_string(f.width) + "s";
    case Kind::bit:
        break;
    }
    return "";
}

namespace {

// ("group", None, size, format, fields, chars): each unpacked value goes to
// its field's name, a word of flags to its (name, bit) pairs; the chars
// fields are then passed through decode_string.
Ref python_group(State& st, const Step& step)
{
    std::string format = "<";
    Ref fields(PyList_New(0)), chars(PyList_New(0));
    if (!fields || !chars)
        return Ref();
    PyObject* bits = nullptr;  // borrowed: the pairs of the last word of flags
    for (const Field& f : step.fields) {
        format += struct_code(f);
        int status = 0;
        if (f.kind == Kind::bit) {
            Ref pair(Py_BuildValue("(Oi)", st.name(f.name), f.bit));
            status = pair ? PyList_Append(bits, pair.get()) : -1;
        } else if (f.kind == Kind::bits) {
            Ref pairs(PyList_New(0));
            bits = pairs.get();
            status = pairs ? PyList_Append(fields.get(), pairs.get()) : -1;
        } else if (f.kind != Kind::pad) {
            status = PyList_Append(fields.get(), st.name(f.name));
            if (status == 0 && f.kind == Kind::chars)
                status = PyList_Append(chars.get(), st.name(f.name));
        }
        if (status < 0)
            return Ref();
    }
    return Ref(Py_BuildValue("(sOnsOO)", "group", Py_None, step.size, format.c_str(), fields.get(), chars.get()));
}

}  // namespace

Ref python_steps(State& st, const Record& rec)
{
    auto name_or_none = [&](Name n) { return n == Name::count ? Py_None : st.name(n); };
    Ref steps(PyList_New(0));
    if (!steps)
        return Ref();
    for (const Step& step : rec.steps) {
        PyObject* attr = name_or_none(step.attr);
        Ref item;
        if (step.op == Step::group)
            item = python_group(st, step);
        else if (step.op == Step::text && step.length_constant == Name::count)
            item = Ref(Py_BuildValue("(sOi)", "text", attr, static_cast<int>(step.length)));
        else if (step.op == Step::text)
            item = Ref(Py_BuildValue("(sOO)", "text", attr, st.name(step.length_constant)));
        else if (step.op == Step::nested)
            item = Ref(Py_BuildValue("(sOO)", "nested", attr, st.name(step.record->class_name)));
        else if (step.op == Step::list)
            item = Ref(Py_BuildValue("(sOOOOOO)", "list", attr, st.name(step.count_attr),
                                     st.name(step.record->class_name),
                                     step.alt_record ? st.name(step.alt_record->class_name) : Py_None,
                                     name_or_none(step.alt_attr), name_or_none(step.alt_text)));
        else
            item = Ref(Py_BuildValue("(sO)", "base", Py_None));
        if (!item || PyList_Append(steps.get(), item.get()) < 0)
            return Ref();
    }
    return Ref(PyList_AsTuple(steps.get()));
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
