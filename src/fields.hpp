// Fields and constants: the module's constants, the two text-field functions,
// and the declarative record layouts with the one decoder that reads them all.
//
// A record is a list of steps.  A `group` step is one read of a fixed byte
// count unpacked little-endian into its fields; a `text` step is a call of
// read_string; `nested` and `list` steps construct other records from the same
// file; `base` runs the base class's construction first.  Every record class
// of the module is one `Record` value; adding a field is one line of its table.
#pragma once

#include "names.hpp"
#include "ref.hpp"

#include <cstdint>
#include <span>

namespace quorin {

struct State;

// Module constants: field lengths and file type codes.
inline constexpr long st_id_length = 30;
inline constexpr long file_id_length = 256;
inline constexpr long max_path = 260;
inline constexpr long ft_irdata = 1;
inline constexpr long ft_group = 10;
inline constexpr long ft_series = 11;

// The record classes, in the order the module creates them.
enum class RecordId : std::uint8_t {
    FileHeader,
    IndexEntry,
    IndexEntryExtended,
    MainSpectralHeader,
    BenchInfo,
    SeriesHeader,
    Dimension,
    DataBlobFormat,
    LinkToData,
    SeriesSpecheader,
    SeriesSpecheaderVer3,
    DiskResidentArray,
    count
};
inline constexpr std::size_t record_count = static_cast<std::size_t>(RecordId::count);

enum class Kind : std::uint8_t {
    u16,
    u32,
    u64,
    f32,
    byte,   // "s": one raw byte, kept as a bytes object of length 1
    pad,    // read and dropped
    chars,  // "<n>s": raw bytes that decode_string turns into text
    bits,   // "i": a signed 32-bit word whose low bits follow as `bit` fields
    bit,    // one bit of the preceding word, as a bool; takes no bytes
};

struct Field {
    Name name;
    Kind kind;
    std::uint16_t width;  // bytes on disk
    std::uint8_t bit = 0;
};

constexpr Field u16(Name n) { return {n, Kind::u16, 2}; }
constexpr Field u32(Name n) { return {n, Kind::u32, 4}; }
constexpr Field u64(Name n) { return {n, Kind::u64, 8}; }
constexpr Field f32(Name n) { return {n, Kind::f32, 4}; }
constexpr Field byte(Name n) { return {n, Kind::byte, 1}; }
constexpr Field pad(std::uint16_t width) { return {Name::count, Kind::pad, width}; }
constexpr Field chars(Name n, std::uint16_t width) { return {n, Kind::chars, width}; }
constexpr Field bits() { return {Name::count, Kind::bits, 4}; }
constexpr Field bit(Name n, std::uint8_t b) { return {n, Kind::bit, 0, b}; }

struct Record;

struct Step {
    enum Op : std::uint8_t { group, text, nested, list, base } op;
    std::span<const Field> fields{};     // group
    Py_ssize_t size = 0;                 // group: bytes of its one read
    bool has_chars = false;              // group: holds fields that become text
    Name attr = Name::count;             // text, nested, list: the attribute set
    Name length_constant = Name::count;  // text: module constant holding the length...
    std::uint16_t length = 0;            // ...or this fixed length
    const Record* record = nullptr;      // nested, list, base
    Name count_attr = Name::count;       // list: attribute holding the number of items
    const Record* alt_record = nullptr;  // list: used instead when alt_attr contains alt_text
    Name alt_attr = Name::count;
    Name alt_text = Name::count;
};

// The largest group of any record, the series header's 262 bytes, fits.
inline constexpr Py_ssize_t max_group_size = 512;

constexpr Step group(std::span<const Field> fields)
{
    Py_ssize_t size = 0;
    bool has_chars = false;
    for (const Field& f : fields) {
        size += f.width;
        has_chars |= f.kind == Kind::chars;
    }
    if (size > max_group_size)
        throw "a record group is larger than max_group_size";  // fails the constant evaluation
    return {.op = Step::group, .fields = fields, .size = size, .has_chars = has_chars};
}
constexpr Step text(Name attr, Name length_constant)
{
    return {.op = Step::text, .attr = attr, .length_constant = length_constant};
}
constexpr Step text(Name attr, std::uint16_t length)
{
    return {.op = Step::text, .attr = attr, .length = length};
}
constexpr Step nested(Name attr, const Record& r) { return {.op = Step::nested, .attr = attr, .record = &r}; }
constexpr Step list(Name attr, Name count_attr, const Record& r)
{
    return {.op = Step::list, .attr = attr, .record = &r, .count_attr = count_attr};
}
// A list whose items are `alt` records instead when the text attribute
// `alt_attr` contains `alt_text`.
constexpr Step list(Name attr, Name count_attr, const Record& r, const Record& alt, Name alt_attr, Name alt_text)
{
    return {.op = Step::list,
            .attr = attr,
            .record = &r,
            .count_attr = count_attr,
            .alt_record = &alt,
            .alt_attr = alt_attr,
            .alt_text = alt_text};
}
constexpr Step base(const Record& r) { return {.op = Step::base, .record = &r}; }

struct Record {
    RecordId id;
    Name class_name;
    const char* doc;
    const Record* base;  // the record class this one derives from, or null
    std::span<const Step> steps;
    PyMethodDef* method = nullptr;  // a method the class has besides __init__
};

// A place records are read from: a Python file object, or the module's own
// buffered native file.
class Source {
public:
    // Consumes n bytes and returns them, valid until the next take; on a short
    // read the bytes are consumed and struct.error is raised (returns null).
    virtual const char* take(Py_ssize_t n) = 0;
    // Borrowed: the file object handed to Python callables that read on.
    virtual PyObject* file() = 0;

protected:
    ~Source() = default;
};

// Reads through the `read(n)` method of any Python object.
class PySource final : public Source {
public:
    PySource(State& st, PyObject* f) : st_(st), f_(f) {}
    ~PySource() { release(); }
    PySource(const PySource&) = delete;
    PySource& operator=(const PySource&) = delete;
    const char* take(Py_ssize_t n) override;
    PyObject* file() override { return f_; }

private:
    void release();
    State& st_;
    PyObject* f_;  // borrowed from the caller, who keeps it alive
    Ref chunk_;    // the last object read() returned
    Py_buffer view_{};
    bool viewing_ = false;
};

// Raises struct.error exactly as struct.unpack does for a buffer of the wrong size.
void raise_wrong_size(State& st, Py_ssize_t wanted);

// The text of a fixed byte field: bytes before the first zero byte, ASCII
// with bytes 0x80..0xFF dropped.
Ref decode_text(const char* p, Py_ssize_t n);

// Decodes `rec` from `src` into the attributes of `self`.
bool decode_into(State& st, const Record& rec, PyObject* self, Source& src);

// Constructs a record of class `cls` (the class bound under `rec`'s name,
// looked up by the caller) from `src`: natively when `cls` is the module's own
// untouched class, otherwise by calling it with the source's file object.
Ref construct(State& st, PyObject* cls, const Record& rec, Source& src);

// The attribute `attr` of a record of class `cls` read from `src`, as
// constructing the record and reading the attribute would give it.  When
// that construction runs none of the caller's code, only `attr` is decoded.
Ref decode_attribute(State& st, PyObject* cls, const Record& rec, Name attr, Source& src);

// Module-level functions.
extern PyMethodDef decode_string_def;
extern PyMethodDef read_string_def;
// `__init__` of every record class.
extern PyMethodDef record_init_def;

}  // namespace quorin
