#pragma once
// A Python value written as compact JSON text by the binding itself, so that a mapping reaches
// the core without a walk in Python: what `json.dumps(value, ensure_ascii=False,
// separators=(",", ":"))` writes, except where JSON has no text for the value.
#include <Python.h>

// `json_text(value, root)`: the text as a str; or, for the first NaN or infinity in the order
// of the text, the tuple (message, path) naming it, `root` being the path of `value` itself
// ("strategy", "embed_data"). Containers nested 200 deep are written empty, and a NaN or
// infinity after such a cut as null: the compiler stops reading at 127 levels and says so
// there, and a value that refers to itself ends. A lone surrogate in a str is written as its
// \u escape, for the compiler to judge as it judges that text. Raises TypeError for a value
// or key JSON has no form for, with json's own wording.
extern PyMethodDef json_text_function;
