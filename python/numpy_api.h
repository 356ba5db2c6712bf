// numpy's C API, one table of it for the module's files: arrays.cpp takes
// it when the module is imported, the others use it. Not installed.
#ifndef CSV_LINE_PYTHON_NUMPY_API_H
#define CSV_LINE_PYTHON_NUMPY_API_H

#define PY_ARRAY_UNIQUE_SYMBOL csv_line_python_numpy_api
#ifndef CSV_LINE_PYTHON_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif
