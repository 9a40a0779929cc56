#pragma once
// A compile's success built as the package's result classes by the binding, straight from the
// core's data, rather than handed over as JSON text for Python to parse and then copy into those
// classes: that parse and those copies cost more than a small dry run itself.
#include <Python.h>

#include "protocol/dispatch.hpp"

// `types` is (Target, Manifest, ManifestFile), or those and CompileResult. With three, returns a
// new tuple (target, manifest, path or None, built, (store key, hit) or None); with four, a
// CompileResult of those (no warnings, no artifact digest). Each field is set as the class's own
// __init__ sets it. nullptr with an exception set when `types` is not such a tuple or memory
// runs out.
PyObject* typed_result(const orvane::protocol::CompileSuccess& success, PyObject* types);
