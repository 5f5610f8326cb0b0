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

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string>

namespace quorin {

struct State;

// Module constants: field lengths and file type codes.
inline constexpr long st_id_length = 30;
inline constexpr long file_id_length = 256;
inline constexpr long max_path = 260;
inline constexpr long ft_irdata = 1;
inline constexpr long ft_group = 10;
inline constexpr long ft_series = 11;

// The fixed byte count a read_string length constant stands for in the
// module's own layouts.
constexpr std::uint16_t own_length(Name constant)
{
    return static_cast<std::uint16_t>(constant == Name::ST_ID_LENGTH     ? st_id_length
                                      : constant == Name::FILE_ID_LENGTH ? file_id_length
                                                                         : max_path);
}

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
    Name attr = Name::count;             // text, nested, list: the attribute set
    Name length_constant = Name::count;  // text: module constant holding the length, if any
    std::uint16_t length = 0;            // text: the length in the module's own layouts
    const Record* record = nullptr;      // nested, list, base
    Name count_attr = Name::count;       // list: attribute holding the number of items
    const Record* alt_record = nullptr;  // list: used instead when alt_attr contains alt_text
    Name alt_attr = Name::count;
    Name alt_text = Name::count;
};

constexpr Step group(std::span<const Field> fields)
{
    Py_ssize_t size = 0;
    for (const Field& f : fields)
        size += f.width;
    return {.op = Step::group, .fields = fields, .size = size};
}
constexpr Step text(Name attr, Name length_constant)
{
    return {.op = Step::text, .attr = attr, .length_constant = length_constant, .length = own_length(length_constant)};
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

// A place records are decoded from: the module's own buffered native file,
// or bytes in memory.
class Source {
public:
    // Consumes n bytes and returns them, valid until the next take; on a short
    // read the bytes are consumed and struct.error is raised (returns null).
    virtual const char* take(Py_ssize_t n) = 0;

protected:
    ~Source() = default;
};

// Reads bytes held in memory, which the owner keeps alive and unchanged.
class MemorySource final : public Source {
public:
    MemorySource(State& st, const char* data, Py_ssize_t size, Py_ssize_t pos)
        : st_(st), data_(data), size_(size), pos_(pos) {}
    const char* take(Py_ssize_t n) override;

private:
    State& st_;
    const char* data_;
    Py_ssize_t size_;
    Py_ssize_t pos_;
};

// Raises struct.error exactly as struct.unpack does for a buffer of the wrong size.
void raise_wrong_size(State& st, Py_ssize_t wanted);

// The text of a fixed byte field: bytes before the first zero byte, ASCII
// with bytes 0x80..0xFF dropped.
Ref decode_text(const char* p, Py_ssize_t n);

// Spectrum values are stored little-endian: makes `bytes` bytes of items of
// `item_size` bytes native, in place.
inline void to_native_order([[maybe_unused]] char* p, [[maybe_unused]] Py_ssize_t bytes,
                            [[maybe_unused]] Py_ssize_t item_size)
{
    if constexpr (std::endian::native == std::endian::big)
        for (Py_ssize_t i = 0; i + item_size <= bytes; i += item_size)
            std::reverse(p + i, p + i + item_size);
}

// An integer argument, through __index__, as a 64-bit value: false with the
// error set where it is no integer.  Outside the range, `overflow` is 1 or
// -1 (as PyLong_AsLongLongAndOverflow says) and `out` is meaningless.
bool index_to_int64(PyObject* obj, std::int64_t& out, int& overflow);

// The one decoder of every record layout, on the native road: constructs
// the module's own class for `rec` from `src`, decoding with the module's
// own functions, constants and classes into a new instance dictionary, for
// readers that are not part of the streaming protocol and where
// State::own() said nothing was rebound.  The generic road, which honours
// what a caller rebound, is Python: the record classes' __init__ runs it
// with the steps python_steps() gives (see module.cpp).
Ref construct_own(State& st, Source& src, const Record& rec);

// The steps of `rec` as the generic road's Python takes them, a tuple of
// (operation, attribute, ...) per step (see module.cpp).
Ref python_steps(State& st, const Record& rec);

// The struct code of a field ("I", "64s", "2x"; empty for a flag bit).
std::string struct_code(const Field& f);

// The bytes of `rec` when it has a fixed size (no list of records), else -1.
Py_ssize_t flat_size(const Record& rec);

// The field `name` of a record whose bytes `p` holds, as a record built
// natively would hold it: a field of its own, of its base or of a record
// nested in it, before any list; null without an error where there is none.
// Where a pass keeps one value of a record no one else sees, this reads it
// without building the record.
Ref flat_field(const Record& rec, const char* p, Name name);

// A dictionary of `rec`'s field names in layout order, each mapped to None:
// what a record the decoder creates starts its instance dictionary from.
Ref field_dict(State& st, const Record& rec);

// Module-level functions.
extern PyMethodDef decode_string_def;
extern PyMethodDef read_string_def;
// `__init__` of every record class.
extern PyMethodDef record_init_def;

}  // namespace quorin
