// Pieces of the test-only module main_testhelper, one per subsystem under test.
#pragma once
#include "runtime/python.h"

// Each adds its functions to the helper module: 0, or -1 with an exception.
int add_function_helpers(PyObject* module);
int add_runtime_helpers(PyObject* module);
int add_bench_helpers(PyObject* module);
int add_capi_helpers(PyObject* module);
