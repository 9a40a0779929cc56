#include "typed_answer.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

#include "json/reader.hpp"

namespace {

using orvane::json::Kind;
using orvane::json::Value;

// Owns one reference, dropped at the end of its scope unless released.
class Ref {
 public:
  explicit Ref(PyObject* p = nullptr) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  void reset(PyObject* p) {
    Py_XDECREF(p_);
    p_ = p;
  }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

PyObject* str_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A scalar of the answer as Python: a str, an int, a bool or None.
PyObject* scalar(Value v) {
  switch (v.kind()) {
    case Kind::String:
      return str_of(v.as_string());
    case Kind::UInt:
      return PyLong_FromUnsignedLongLong(v.as_uint());
    case Kind::Bool:
      return PyBool_FromLong(v.as_bool() ? 1 : 0);
    default:
      Py_INCREF(Py_None);
      return Py_None;
  }
}

// The field names, interned once: the answer of every compile sets them.
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

// An instance of the frozen dataclass `cls` with `fields` set in order from `values`, made as
// object.__new__ and object.__setattr__ make it (its own __setattr__ refuses every change).
PyObject* instance(PyObject* cls, std::initializer_list<const char*> fields,
                   std::initializer_list<PyObject*> values) {
  // Kept for the life of the process, as the interpreter keeps `object` itself.
  static PyObject* object_new =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__");
  if (object_new == nullptr) return nullptr;
  for (PyObject* v : values) {
    if (v == nullptr) return nullptr;
  }
  Ref out(PyObject_CallFunctionObjArgs(object_new, cls, nullptr));
  if (!out) return nullptr;
  auto value = values.begin();
  for (const char* field : fields) {
    PyObject* name = name_of(field);
    if (name == nullptr || PyObject_GenericSetAttr(out.get(), name, *value++) < 0) return nullptr;
  }
  return out.release();
}

// The answer is left as text: Py_None.
PyObject* text_answer() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* target_of(PyObject* cls, Value target) {
  auto kind = target.find("kind");
  auto mcu = target.find("mcu");
  if (!kind) return nullptr;
  Ref k(scalar(*kind));
  Ref m(mcu ? scalar(*mcu) : (Py_INCREF(Py_None), Py_None));
  return instance(cls, {"kind", "mcu"}, {k.get(), m.get()});
}

}  // namespace

PyObject* typed_answer(std::string_view answer, PyObject* types) {
  PyObject* target_cls = nullptr;
  PyObject* manifest_cls = nullptr;
  PyObject* file_cls = nullptr;
  if (!PyTuple_Check(types) || !PyArg_ParseTuple(types, "OOO", &target_cls, &manifest_cls, &file_cls)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "result must be (Target, Manifest, ManifestFile)");
    return nullptr;
  }
  // Only a compile's success starts so; every other answer stays text.
  if (!answer.starts_with("{\"target\":")) return text_answer();
  auto parsed = orvane::json::parse(answer);
  if (!parsed || parsed->value().kind() != Kind::Object) return text_answer();
  const Value root = parsed->value();
  const auto target = root.find("target");
  const auto manifest = root.find("manifest");
  const auto built = root.find("built");
  const auto path = root.find("path");
  if (!target || !manifest || !built) return text_answer();
  Ref files;
  if (auto listed = manifest->find("files")) {
    files.reset(PyTuple_New(static_cast<Py_ssize_t>(listed->size())));
    if (!files) return nullptr;
    Py_ssize_t at = 0;
    bool made = true;
    listed->for_each_element([&](Value file) {
      auto p = file.find("path");
      auto sha = file.find("sha256");
      auto len = file.find("bytes_len");
      if (!p || !sha || !len) return made = false;
      Ref a(scalar(*p));
      Ref b(scalar(*sha));
      Ref c(scalar(*len));
      PyObject* one = instance(file_cls, {"path", "sha256", "bytes_len"}, {a.get(), b.get(), c.get()});
      if (one == nullptr) return made = false;
      PyTuple_SetItem(files.get(), at++, one);  // steals
      return true;
    });
    if (!made) return PyErr_Occurred() ? nullptr : text_answer();
  }
  auto field = [&](std::string_view key) -> PyObject* {
    auto v = manifest->find(key);
    if (!v) {
      PyErr_Format(PyExc_ValueError, "the answer's manifest has no %s", std::string(key).c_str());
      return nullptr;
    }
    return scalar(*v);
  };
  auto manifest_target = manifest->find("target");
  if (!manifest_target || !files) return text_answer();
  Ref version(field("compiler_version"));
  Ref m_target(target_of(target_cls, *manifest_target));
  Ref level(field("opt_level"));
  Ref crate(field("crate_name"));
  Ref spec_hash(field("spec_hash"));
  Ref dep(field("backtest_dep"));
  Ref project_hash(field("project_hash"));
  Ref made_manifest(instance(manifest_cls,
                             {"compiler_version", "target", "opt_level", "crate_name", "spec_hash",
                              "backtest_dep", "files", "project_hash"},
                             {version.get(), m_target.get(), level.get(), crate.get(),
                              spec_hash.get(), dep.get(), files.get(), project_hash.get()}));
  if (!made_manifest) return PyErr_Occurred() ? nullptr : text_answer();
  Ref answer_target(target_of(target_cls, *target));
  Ref answer_path(path ? scalar(*path) : (Py_INCREF(Py_None), Py_None));
  Ref answer_built(scalar(*built));
  // A build through a store: (key, hit).
  const auto store = root.find("store");
  const auto key = store ? store->find("key") : std::nullopt;
  const auto hit = store ? store->find("hit") : std::nullopt;
  Ref answer_store(key && hit ? Py_BuildValue("(NN)", scalar(*key), scalar(*hit)) : (Py_INCREF(Py_None), Py_None));
  if (!answer_target || !answer_path || !answer_built || !answer_store) {
    return PyErr_Occurred() ? nullptr : text_answer();
  }
  return PyTuple_Pack(5, answer_target.get(), made_manifest.get(), answer_path.get(), answer_built.get(),
                      answer_store.get());
}
