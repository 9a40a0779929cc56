#pragma once
// A compile's answer built as the package's result classes by the binding, rather than handed
// over as JSON text for Python to parse and then copy into those classes: that parse and those
// copies cost more than a small dry run itself.
#include <Python.h>

#include <string_view>

// `types` is (Target, Manifest, ManifestFile). For the answer of a compile that succeeded,
// returns a new tuple (target, manifest, path or None, built, (store key, hit) or None), with
// each field set as the class's own __init__ sets it; for any other answer (a refusal, another
// command's), Py_None, new reference, and the answer is to be read as text. nullptr with an
// exception set when `types` is not such a tuple or memory runs out.
PyObject* typed_answer(std::string_view answer, PyObject* types);
