#include "typed_answer.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

#include "schema/compile_spec.hpp"

namespace {

// Owns one reference, dropped at the end of its scope unless released.
class Ref {
 public:
  explicit Ref(PyObject* p = nullptr) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() {
    Py_XDECREF(p_);
    p_ = nullptr;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

PyObject* str_of(std::string_view s) {
  // The core's texts are UTF-8; "replace" keeps a result whole should one ever not be.
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// The field names, interned once: every compile's result sets them.
PyObject* name_of(const char* field) {
  struct Name {
    const char* text;
    PyObject* object;
  };
  static Name names[32] = {};
  for (Name& n : names) {
    if (n.text == field) return n.object;
    if (n.text == nullptr) {
      n.object = PyUnicode_InternFromString(field);
      if (n.object != nullptr) n.text = field;
      return n.object;
    }
  }
  return PyUnicode_InternFromString(field);  // not reached: fewer names than room
}

// An instance of the frozen dataclass `cls` with `fields` set in order from `values` (new
// references, taken over), made as object.__new__ and object.__setattr__ make it: its own
// __setattr__ refuses every change. The arguments object.__new__ checks are none here, so the
// type's allocation is asked directly.
PyObject* instance(PyObject* cls, std::initializer_list<const char*> fields,
                   std::initializer_list<PyObject*> values) {
  bool whole = PyType_Check(cls);
  for (PyObject* v : values) whole = whole && v != nullptr;
  Ref out(whole ? PyType_GenericNew(reinterpret_cast<PyTypeObject*>(cls), nullptr, nullptr) : nullptr);
  auto value = values.begin();
  for (const char* field : fields) {
    PyObject* name = out ? name_of(field) : nullptr;
    if (name == nullptr || PyObject_GenericSetAttr(out.get(), name, *value) < 0) out.reset();
    ++value;
  }
  for (PyObject* v : values) Py_XDECREF(v);
  if (!out && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "result types must be classes");
  return out.release();
}

PyObject* target_of(PyObject* cls, const orvane::schema::Target& target) {
  return instance(cls, {"kind", "mcu"},
                  {str_of(orvane::schema::target_kind_name(target.kind)),
                   target.mcu.empty() ? none() : str_of(target.mcu)});
}

}  // namespace

PyObject* typed_result(const orvane::protocol::CompileSuccess& success, PyObject* types) {
  PyObject* target_cls = nullptr;
  PyObject* manifest_cls = nullptr;
  PyObject* file_cls = nullptr;
  PyObject* result_cls = nullptr;
  if (!PyTuple_Check(types) || !PyArg_ParseTuple(types, "OOO|O", &target_cls, &manifest_cls, &file_cls, &result_cls)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "result must be (Target, Manifest, ManifestFile[, CompileResult])");
    return nullptr;
  }
  const orvane::builder::Manifest& m = success.manifest;
  Ref files(PyTuple_New(static_cast<Py_ssize_t>(m.files.size())));
  if (!files) return nullptr;
  Py_ssize_t at = 0;
  for (const auto& f : m.files) {
    PyObject* one = instance(file_cls, {"path", "sha256", "bytes_len"},
                             {str_of(f.path), str_of(f.sha256), PyLong_FromUnsignedLongLong(f.bytes_len)});
    if (one == nullptr) return nullptr;
    PyTuple_SetItem(files.get(), at++, one);  // steals
  }
  Ref manifest(instance(manifest_cls,
                        {"compiler_version", "target", "opt_level", "crate_name", "spec_hash", "backtest_dep",
                         "files", "project_hash"},
                        {str_of(m.compiler_version), target_of(target_cls, m.target),
                         str_of(orvane::schema::opt_level_name(m.opt_level)), str_of(m.crate_name),
                         str_of(m.spec_hash), str_of(m.backtest_dep), files.release(), str_of(m.project_hash)}));
  if (!manifest) return nullptr;
  PyObject* path = success.path ? str_of(*success.path) : none();
  PyObject* built = PyBool_FromLong(success.path ? 1 : 0);
  if (result_cls == nullptr) {
    PyObject* store = success.store ? Py_BuildValue("(NN)", str_of(success.store->key),
                                                    PyBool_FromLong(success.store->hit ? 1 : 0))
                                    : none();
    Ref target(target_of(target_cls, m.target));
    if (!target || path == nullptr || store == nullptr) {
      Py_XDECREF(path);
      Py_XDECREF(store);
      Py_DECREF(built);
      return nullptr;
    }
    return Py_BuildValue("(OONNN)", target.get(), manifest.get(), path, built, store);
  }
  return instance(result_cls,
                  {"target", "manifest", "path", "built", "artifact_sha256", "artifact_size", "warnings",
                   "store_key", "store_hit"},
                  {target_of(target_cls, m.target), manifest.release(), path, built, none(), none(),
                   PyTuple_New(0), success.store ? str_of(success.store->key) : none(),
                   success.store ? PyBool_FromLong(success.store->hit ? 1 : 0) : none()});
}
