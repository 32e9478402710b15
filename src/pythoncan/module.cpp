// Module definition of vorel_pythoncan_ext: multi-phase init, declared free of the GIL.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* list_devices(PyObject*, PyObject*) noexcept { return PyList_New(0); }

PyMethodDef list_devices_def = {
    "list_devices", list_devices, METH_NOARGS,
    "list_devices()\n--\n\nEnumerate available VOREL devices, returns list of serial numbers"};

int module_exec(PyObject* module) noexcept {
  PyObject* fn = PyCMethod_New(&list_devices_def, module, PyModule_GetNameObject(module), nullptr);
  if (!fn) return -1;
  return PyModule_Add(module, "list_devices", fn);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorel_pythoncan_ext", "VOREL Native Python-CAN API", 0, nullptr,
    module_slots,          nullptr,               nullptr,                       nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vorel_pythoncan_ext(void) { return PyModuleDef_Init(&module_def); }
