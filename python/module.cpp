// Placeholder module until the binding lands.
#include <Python.h>

static PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kordal_python", nullptr, 0,
                              nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_kordal_python(void) { return PyModuleDef_Init(&kModule); }
