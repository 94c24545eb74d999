#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "quorvel", nullptr, 0, nullptr};
PyMODINIT_FUNC PyInit_quorvel() { return PyModule_Create(&def); }
