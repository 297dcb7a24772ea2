// Interned Python strings for attribute names and dictionary keys used on hot paths.
#pragma once

#include <nanobind/nanobind.h>

// INTERNED("websocket") is a borrowed handle to an interned str, created on first use and kept
// for the life of the process (never freed, so no destructor runs after the interpreter ends).
#define INTERNED(text)                                                                             \
    ([]() -> ::nanobind::handle {                                                                  \
        static PyObject *interned = PyUnicode_InternFromString(text);                              \
        return interned;                                                                           \
    }())
