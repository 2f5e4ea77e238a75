#include "tests/helper/helpers.h"

int add_function_helpers(PyObject*)
{
    return 0;
}
