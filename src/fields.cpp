#include "fields.hpp"

#include "compat.hpp"
#include "plainclass.hpp"
#include "state.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace quorin {
namespace {

template <typename T>
T load_le(const char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = byteswap(v);
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
    Ref fn = st.global(Name::decode_string);
    return fn ? Ref(PyObject_CallOneArg(fn.get(), raw)) : Ref();
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
    if (!Decoder(st, src).into(*rec, self))
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
    switch (constant) {
    case Name::ST_ID_LENGTH:
        return st_id_length;
    case Name::FILE_ID_LENGTH:
        return file_id_length;
    default:
        return max_path;
    }
}

// Whether decoding `rec` reads only fixed fields, looking nothing up in the
// module's namespace.
bool looks_up_nothing(const Record& rec)
{
    for (const Step& step : rec.steps)
        if (step.op != Step::group || step.has_chars)
            return false;
    return true;
}

bool Decoder::keep(Name name, Ref value, Target& to)
{
    if (!value)
        return false;
    if (to.dict)
        return PyDict_SetItem(to.dict, st_.name(name), value.get()) == 0;
    if (to.self)
        return set_attr(to.self, st_.name(name), value.get());
    for (std::size_t i = 0; i < kept_.size(); ++i)
        if (kept_[i] == name)
            kept_values_[i] = std::move(value);
    return true;
}

// A value decoded earlier in the record, as the record holds it now.
Ref Decoder::recall(Name name, Target& to)
{
    if (!to.dict)
        return Ref(PyObject_GetAttr(to.self, st_.name(name)));
    PyObject* value = PyDict_GetItemWithError(to.dict, st_.name(name));
    if (!value && !PyErr_Occurred())
        PyErr_SetObject(PyExc_AttributeError, st_.name(name));
    return Ref::borrow(value);
}

bool Decoder::group(const Step& step, Target& to)
{
    bool native_text = true;
    if (step.has_chars && !own_) {
        Ref fn = st_.global(Name::decode_string);
        if (!fn)
            return false;
        native_text = st_.is_own(fn.get(), Name::decode_string);
    }

    const char* taken = src_->take(step.size);
    if (!taken)
        return false;
    // Setting an attribute may run code that reads on: then the bytes are copied first.
    char bytes[max_group_size];
    if (to.self)
        std::memcpy(bytes, taken, static_cast<std::size_t>(step.size));
    const char* p = to.self ? bytes : taken;
    std::int32_t word = 0;
    const bool all = to.self || to.dict;
    for (const Field& f : step.fields) {
        if (f.kind == Kind::bits)
            word = load_le<std::int32_t>(p);
        if (f.kind != Kind::pad && f.kind != Kind::bits && (all || wanted(f.name))) {
            if (!keep(f.name, unpack_field(f, p, word, native_text), to))
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
            Ref raw = recall(f.name, to);
            Ref text = raw ? call_decode_string(st_, raw.get()) : Ref();
            if (!keep(f.name, std::move(text), to))
                return false;
        }
    }
    return true;
}

bool Decoder::text(const Step& step, Target& to)
{
    if (own_) {
        const Py_ssize_t n = step.length_constant != Name::count ? own_length(step.length_constant) : step.length;
        const char* p = src_->take(n);
        if (!p)
            return false;
        return !(to.self || to.dict || wanted(step.attr)) || keep(step.attr, decode_text(p, n), to);
    }
    Ref length = step.length_constant != Name::count ? st_.global(step.length_constant)
                                                     : Ref(PyLong_FromLong(step.length));
    Ref fn = length ? st_.global(Name::read_string) : Ref();
    if (!fn)
        return false;
    const Py_ssize_t n = plain_length(length.get());
    if (!st_.is_own(fn.get(), Name::read_string) || n < 0) {
        PyObject* f = src_->file();
        if (!f)
            return false;
        PyObject* args[] = {f, length.get()};
        return keep(step.attr, Ref(PyObject_Vectorcall(fn.get(), args, 2, nullptr)), to);
    }
    const char* p = src_->take(n);
    return p && keep(step.attr, text_of(st_, p, n), to);
}

bool Decoder::nested(const Step& step, Target& to)
{
    if (!to.self && !to.dict)  // only values are kept: the nested record's among them
        return decode(*step.record, to);
    if (own_)
        return keep(step.attr, construct_own(*step.record), to);
    Ref cls = st_.global(step.record->class_name);
    return cls && keep(step.attr, construct(cls.get(), *step.record), to);
}

bool Decoder::list(const Step& step, Target& to)
{
    if (!to.self && !to.dict)
        return list_values(step);
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
    // Items of the module's own class whose layout looks up nothing bound in
    // the module run none of the caller's code: what was checked for the
    // first holds for the rest.
    const bool own_items = own_ || (count > 1 && looks_up_nothing(*rec) && st_.is_own_record_class(cls.get(), *rec));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = own_items ? construct_own(*rec) : construct(cls.get(), *rec);
        if (!item || PyList_Append(items.get(), item.get()) < 0)
            return false;
    }
    return keep(step.attr, std::move(items), to);
}

// A list's items as attributes() keeps them: the values each item's record
// holds, read in turn, for as many items as the count attribute says.
bool Decoder::list_values(const Step& step)
{
    const Ref* count_obj = nullptr;
    for (std::size_t i = 0; i < kept_.size(); ++i)
        if (kept_[i] == step.count_attr)
            count_obj = &kept_values_[i];
    if (!kept_items_ || step.alt_record || !count_obj || !*count_obj) {
        PyErr_SetString(PyExc_SystemError, "a list decoded without a place for its items");
        return false;
    }
    const Py_ssize_t count = PyNumber_AsSsize_t(count_obj->get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred())
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref* values = kept_items_->values(i);
        if (!values || !Decoder(st_, *src_, true).attributes(*step.record, kept_items_->attrs, values))
            return false;
    }
    return true;
}

// Runs the base class's construction on the same file, as super().__init__(f).
bool Decoder::base(const Step& step, const Record& rec, Target& to)
{
    if (own_ || !to.self)  // a record the decoder creates is of the module's own untouched class
        return decode(*step.record, to);
    Ref init = base_init(st_, st_.bound[index(rec.class_name)].get(), to.self);
    if (!init)
        return false;
    if (is_own_init(st_, init.get(), *step.record))
        return decode(*step.record, to);
    PyObject* f = src_->file();
    return f && Ref(PyObject_CallOneArg(init.get(), f));
}

bool Decoder::step(const Step& step, const Record& rec, Target& to)
{
    switch (step.op) {
    case Step::group:
        return group(step, to);
    case Step::text:
        return text(step, to);
    case Step::nested:
        return nested(step, to);
    case Step::list:
        return list(step, to);
    case Step::base:
        return base(step, rec, to);
    }
    return false;
}

bool Decoder::decode_steps(const Record& rec, Target& to)
{
    for (const Step& s : rec.steps)
        if (!step(s, rec, to))
            return false;
    return true;
}

bool Decoder::decode(const Record& rec, Target& to)
{
    // A record of fixed size that the source holds in full is taken at once
    // and decoded from memory.  One that runs short is decoded step by
    // step, so that it fails at the read it fails at, with that read's error.
    const Py_ssize_t size = own_ && !in_memory_ ? st_.flat_sizes[static_cast<std::size_t>(rec.id)] : -1;
    const int whole = size > 0 ? src_->holds(size) : 0;
    if (whole <= 0)
        return whole == 0 && decode_steps(rec, to);
    MemorySource memory(st_, src_->take(size), size, 0);
    Source* outer = std::exchange(src_, &memory);
    in_memory_ = true;
    const bool ok = decode_steps(rec, to);
    src_ = outer;
    in_memory_ = false;
    return ok;
}

bool Decoder::into(const Record& rec, PyObject* self)
{
    Target to{self, nullptr};
    return decode(rec, to);
}

Ref Decoder::construct_own(const Record& rec)
{
    auto* type = reinterpret_cast<PyTypeObject*>(st_.bound[index(rec.class_name)].get());
    Ref obj(type->tp_alloc(type, 0));
    // A copy of the record's dictionary of field names: its values are
    // replaced in place, and it never grows while the record is decoded.
    Ref dict(obj ? PyDict_Copy(st_.field_dicts[static_cast<std::size_t>(rec.id)].get()) : nullptr);
    Target to{nullptr, dict.get()};
    if (!dict || !decode(rec, to))
        return Ref();
    return plain_set_instance_dict(obj.get(), std::move(dict)) ? std::move(obj) : Ref();
}

Ref Decoder::construct(PyObject* cls, const Record& rec)
{
    if (!st_.is_own_record_class(cls, rec)) {
        PyObject* f = src_->file();
        return f ? Ref(PyObject_CallOneArg(cls, f)) : Ref();
    }
    if (!own_ && st_.watch.active()) {
        // Known at no cost to run none of the caller's code: then it decodes
        // as the module's own, without looking each name up again.
        const int own = runs_own_code(st_, cls, rec);
        if (own < 0)
            return Ref();
        if (own)
            return Decoder(st_, *src_, true).construct_own(rec);
    }
    return construct_own(rec);
}

bool Decoder::attributes(const Record& rec, std::span<const Name> attrs, Ref* out, ItemValues* items)
{
    own_ = true;
    kept_ = attrs;
    kept_values_ = out;
    kept_items_ = items;
    for (Name n : attrs)
        kept_bits_[static_cast<std::size_t>(n) / 64] |= std::uint64_t{1} << (static_cast<std::size_t>(n) % 64);
    Target nowhere;
    const bool ok = decode(rec, nowhere);
    kept_ = {};
    kept_values_ = nullptr;
    kept_items_ = nullptr;
    std::fill(std::begin(kept_bits_), std::end(kept_bits_), 0);
    for (std::size_t i = 0; ok && i < attrs.size(); ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_AttributeError, "the record has no attribute '%U'", st_.name(attrs[i]));
            return false;
        }
    }
    return ok;
}

Ref Decoder::attribute(const Record& rec, Name attr)
{
    Ref found;
    return attributes(rec, std::span(&attr, 1), &found) ? std::move(found) : Ref();
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
            size += step.length_constant != Name::count ? own_length(step.length_constant) : step.length;
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

Ref field_dict(State& st, const Record& rec)
{
    Ref dict(PyDict_New());
    return dict && collect_field_names(st, rec, dict.get()) ? std::move(dict) : Ref();
}

namespace {

// Whether a name is bound to the module's own object, looked up once for a
// whole check: nothing the check does can rebind it.
class OwnNames {
public:
    explicit OwnNames(State& st) : st_(st) {}
    int operator()(Name n)
    {
        int& known = n == Name::read_string ? read_string_ : decode_string_;
        if (known == unknown) {
            Ref obj = st_.global(n);
            known = obj ? static_cast<int>(st_.is_own(obj.get(), n)) : -1;
        }
        return known;
    }

private:
    static constexpr int unknown = 2;
    State& st_;
    int read_string_ = unknown;  // only these two are asked
    int decode_string_ = unknown;
};

int check_own_code(State& st, PyObject* cls, const Record& rec, OwnNames& own);

int runs_own_code(State& st, PyObject* cls, const Record& rec, OwnNames& own)
{
    if (!st.is_own(cls, rec.class_name))
        return 0;
    return st.watch.cached(st.own_code_check(rec), [&] { return check_own_code(st, cls, rec, own); });
}

// runs_own_code, made afresh.
int check_own_code(State& st, PyObject* cls, const Record& rec, OwnNames& own)
{
    if (!st.is_own_record_class(cls, rec))
        return PyErr_Occurred() ? -1 : 0;
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
                Ref length = st.global(step.length_constant);
                ok = length ? plain_length(length.get()) == own_length(step.length_constant) : -1;
            }
            break;
        case Step::base: {
            // super(cls, self) of an instance of cls walks cls.__mro__ after cls.
            Ref mro(PyObject_GetAttr(cls, st.name(Name::dunder_mro)));
            if (!mro)
                return -1;
            PyObject* base_cls = st.bound[index(step.record->class_name)].get();
            if (!PyTuple_Check(mro.get()) || PyTuple_GET_SIZE(mro.get()) < 2 ||
                PyTuple_GET_ITEM(mro.get(), 1) != base_cls)
                return 0;
            Ref init(PyObject_GetAttr(base_cls, st.name(Name::dunder_init)));
            if (!init)
                return -1;
            ok = init.get() == st.inits[static_cast<std::size_t>(step.record->id)].get();
            if (ok > 0)
                ok = check_own_code(st, base_cls, *step.record, own);
            break;
        }
        case Step::nested:
        case Step::list:
            // The nested records are built by the classes bound at the moment.
            for (const Record* nested : {step.record, step.alt_record}) {
                Ref nested_cls = nested && ok > 0 ? st.global(nested->class_name) : Ref();
                if (nested && ok > 0)
                    ok = nested_cls ? runs_own_code(st, nested_cls.get(), *nested, own) : -1;
            }
            break;
        }
        if (ok <= 0)
            return ok;
    }
    return 1;
}

}  // namespace

int runs_own_code(State& st, PyObject* cls, const Record& rec)
{
    OwnNames own(st);
    return runs_own_code(st, cls, rec, own);
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
