// The one way this project includes the interpreter's API.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>
