#include "generator.hpp"

#include "compat.hpp"

namespace quorin {

Ref run_python(const std::string& source)
{
    Ref globals(PyDict_New());
    Ref module_name(PyUnicode_FromString("quorinreader"));
    if (!globals || !module_name || PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
        return Ref();
    Ref code(Py_CompileString(source.c_str(), "<quorinreader>", Py_file_input));
    Ref done(code ? PyEval_EvalCode(code.get(), globals.get(), globals.get()) : nullptr);
    return done ? std::move(globals) : Ref();
}

void stop_iteration_to_runtime_error()
{
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return;
    Ref stop = take_exception();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref error = take_exception();
    PyException_SetCause(error.get(), Py_NewRef(stop.get()));  // steals
    PyException_SetContext(error.get(), stop.release());       // steals
    restore_exception(std::move(error));
}

PyObject* iterator_send(PyObject* self, PyObject*)
{
    PyObject* item = Py_TYPE(self)->tp_iternext(self);
    if (!item && !PyErr_Occurred())
        PyErr_SetNone(PyExc_StopIteration);
    return item;
}

}  // namespace quorin
