// Placeholder initialiser; the registration table follows with the boundary.
#define LUMETRA_NUMPY_IMPORT
#include "numpy_api.hpp"

static PyModuleDef lumetra_module = {PyModuleDef_HEAD_INIT, "_lumetra", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__lumetra(void) { return PyModule_Create(&lumetra_module); }
