// The module quorinreader as the interpreter sees it: the only place that
// knows the load order and builds the module object and its classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

PyMODINIT_FUNC PyInit_quorinreader(void);
