// The floor of series streaming: a bare C iterator that reads a series
// blob with stdio and builds, per spectrum, the very objects the series
// reader delivers: ({"title": title}, array of values).  It checks nothing
// and honours nothing; benchmarks/instructions.py compares the reader's
// instructions per spectrum against it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstring>

namespace {

struct Floor {
    PyObject_HEAD
    FILE* file;
    Py_ssize_t remaining;
    Py_ssize_t head;    // bytes of mini header before each spectrum's values
    Py_ssize_t points;  // values per spectrum
    PyObject* zero;     // a one-value array('f') that each spectrum's array repeats
    PyObject* key;      // "title"
    char buf[4096];
};

PyObject* floor_next(PyObject* self)
{
    auto* f = reinterpret_cast<Floor*>(self);
    if (f->remaining <= 0 || !f->file)
        return nullptr;
    --f->remaining;
    const Py_ssize_t bytes = f->points * 4;
    if (fread(f->buf, 1, static_cast<size_t>(f->head + bytes), f->file) != static_cast<size_t>(f->head + bytes))
        return PyErr_Format(PyExc_EOFError, "short read");
    const char* title = f->buf + 16;
    const void* zero = memchr(title, 0, 64);
    const Py_ssize_t n = zero ? static_cast<const char*>(zero) - title : 64;
    PyObject* text = PyUnicode_DecodeASCII(title, n, "ignore");
    PyObject* dict = text ? PyDict_New() : nullptr;
    if (!dict || PyDict_SetItem(dict, f->key, text) < 0) {
        Py_XDECREF(text);
        Py_XDECREF(dict);
        return nullptr;
    }
    Py_DECREF(text);
    PyObject* values = PySequence_Repeat(f->zero, f->points);
    Py_buffer view;
    if (!values || PyObject_GetBuffer(values, &view, PyBUF_WRITABLE) < 0) {
        Py_DECREF(dict);
        Py_XDECREF(values);
        return nullptr;
    }
    memcpy(view.buf, f->buf + f->head, static_cast<size_t>(bytes));
    PyBuffer_Release(&view);
    PyObject* item = PyTuple_Pack(2, dict, values);
    Py_DECREF(dict);
    Py_DECREF(values);
    return item;
}

void floor_dealloc(PyObject* self)
{
    auto* f = reinterpret_cast<Floor*>(self);
    if (f->file)
        fclose(f->file);
    Py_XDECREF(f->zero);
    Py_XDECREF(f->key);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot floor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(floor_next)},
    {0, nullptr},
};

PyType_Spec floor_spec = {"floor.Floor", sizeof(Floor), 0, Py_TPFLAGS_DEFAULT, floor_slots};

// stream(path, offset, count, head, points, zero): an iterator over count spectra from byte offset.
PyObject* stream(PyObject* module, PyObject* args)
{
    const char* path;
    Py_ssize_t offset, count, head, points;
    PyObject* zero;
    if (!PyArg_ParseTuple(args, "snnnnO", &path, &offset, &count, &head, &points, &zero))
        return nullptr;
    PyObject* cls = PyObject_GetAttrString(module, "Floor");
    if (!cls)
        return nullptr;
    auto* f = reinterpret_cast<Floor*>(reinterpret_cast<PyTypeObject*>(cls)->tp_alloc(reinterpret_cast<PyTypeObject*>(cls), 0));
    Py_DECREF(cls);
    if (!f)
        return nullptr;
    f->file = fopen(path, "rb");
    f->remaining = count;
    f->head = head;
    f->points = points;
    f->zero = Py_NewRef(zero);
    f->key = PyUnicode_InternFromString("title");
    if (!f->file || fseek(f->file, offset, SEEK_SET) != 0) {
        Py_DECREF(f);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    return reinterpret_cast<PyObject*>(f);
}

PyMethodDef methods[] = {
    {"stream", stream, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int floor_exec(PyObject* module)
{
    PyObject* cls = PyType_FromModuleAndSpec(module, &floor_spec, nullptr);
    return cls ? PyModule_AddObject(module, "Floor", cls) : -1;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(floor_exec)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor(void) { return PyModuleDef_Init(&module_def); }
