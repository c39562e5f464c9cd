// The one way the boundary includes NumPy: every file shares the API table
// that the module initialiser imports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL LUMETRA_NUMPY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef LUMETRA_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
