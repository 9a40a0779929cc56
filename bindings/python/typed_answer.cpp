#include "typed_answer.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>

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
// __setattr__ refuses every change. The class's own tp_new (object's, for a dataclass) is
// called directly rather than through the `__new__` attribute's wrapper.
PyObject* instance(PyObject* cls, std::initializer_list<const char*> fields,
                   std::initializer_list<PyObject*> values) {
  static PyObject* no_arguments = PyTuple_New(0);
  bool whole = no_arguments != nullptr && PyType_Check(cls) &&
               (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) & Py_TPFLAGS_HEAPTYPE);
  for (PyObject* v : values) whole = whole && v != nullptr;
  auto make = whole ? reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_new))
                    : nullptr;
  Ref out(make != nullptr ? make(reinterpret_cast<PyTypeObject*>(cls), no_arguments, nullptr) : nullptr);
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

// Objects that results share, by a key of what makes them: a ManifestFile of one class, path,
// digest and length is one frozen object, as is a Target of one kind and MCU, and so is each
// text of a version or a level. Most files of a project are the templates' texts, alike in
// every project of a target and level; made anew, a result's files, targets and texts took
// half again as long as a small dry run itself. Kept with the lock held, for the life of the
// process, and dropped whole when it grows past kLimit keys. The plain road is `made()`.
class Shared {
 public:
  static constexpr std::size_t kLimit = 4096;

  // The object kept for `key`, new reference; else `made()`'s, kept (nullptr: its exception).
  template <class Make>
  PyObject* get(const std::string& key, Make&& made) {
    if (auto found = objects_.find(key); found != objects_.end()) {
      Py_INCREF(found->second);
      return found->second;
    }
    PyObject* object = made();
    if (object == nullptr) return nullptr;
    if (objects_.size() >= kLimit) clear();
    Py_INCREF(object);
    objects_.emplace(key, object);
    return object;
  }

 private:
  void clear() {
    // Emptied first: dropping an object may run code that makes a result.
    auto held = std::move(objects_);
    objects_.clear();
    for (auto& [key, object] : held) Py_DECREF(object);
  }

  std::unordered_map<std::string, PyObject*> objects_;
};

Shared& shared() {
  static Shared* kept = new Shared;  // never destroyed: its objects may outlive the interpreter's end
  return *kept;
}

// The key of an object of class `cls` made of `parts`.
std::string key_of(PyObject* cls, std::initializer_list<std::string_view> parts) {
  std::string key(reinterpret_cast<const char*>(&cls), sizeof cls);
  for (std::string_view part : parts) {
    key += part;
    key += '\0';
  }
  return key;
}

PyObject* shared_str(std::string_view text) {
  return shared().get(key_of(nullptr, {text}), [&] { return str_of(text); });
}

PyObject* target_of(PyObject* cls, const orvane::schema::Target& target) {
  const std::string_view kind = orvane::schema::target_kind_name(target.kind);
  return shared().get(key_of(cls, {kind, target.mcu}), [&] {
    return instance(cls, {"kind", "mcu"}, {shared_str(kind), target.mcu.empty() ? none() : str_of(target.mcu)});
  });
}

PyObject* file_of(PyObject* cls, const orvane::builder::ManifestFile& f) {
  const std::string length = std::to_string(f.bytes_len);
  return shared().get(key_of(cls, {f.path, f.sha256, length}), [&] {
    return instance(cls, {"path", "sha256", "bytes_len"},
                    {str_of(f.path), str_of(f.sha256), PyLong_FromUnsignedLongLong(f.bytes_len)});
  });
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
    PyObject* one = file_of(file_cls, f);
    if (one == nullptr) return nullptr;
    PyTuple_SetItem(files.get(), at++, one);  // steals
  }
  Ref manifest(instance(manifest_cls,
                        {"compiler_version", "target", "opt_level", "crate_name", "spec_hash", "backtest_dep",
                         "files", "project_hash"},
                        {shared_str(m.compiler_version), target_of(target_cls, m.target),
                         shared_str(orvane::schema::opt_level_name(m.opt_level)), str_of(m.crate_name),
                         str_of(m.spec_hash), shared_str(m.backtest_dep), files.release(), str_of(m.project_hash)}));
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
