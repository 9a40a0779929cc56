// The `_orvane_compile` extension module: the Compiler handle and its JSON
// command entry point. Only the stable ABI (3.10) is used, so the one build
// loads into every CPython from 3.10 on.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030A0000
#error "_orvane_compile must be built against the 3.10 stable ABI (Py_LIMITED_API=0x030A0000)"
#endif
#define PY_SSIZE_T_CLEAN  // the lengths of "#" formats are Py_ssize_t
#include <Python.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <expected>
#include <memory>
#include <filesystem>
#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <type_traits>

#include "versions.hpp"
#include "json_text.hpp"
#include "typed_answer.hpp"
#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"
#include "protocol/vocabulary.hpp"
#include "schema/json_schema.hpp"

namespace {

using orvane::protocol::HandleState;

constexpr char kModuleDoc[] = "The native module (`orvane_compile._orvane_compile`).";

constexpr char kClassDoc[] =
    "Compiler()\n--\n\nA compiler driven by JSON commands.\n\n`unsendable`: the handle holds a "
    "stateful build cache, so it is bound to the\nthread that created it.";

constexpr char kCommandDoc[] =
    "command($self, cmd_json)\n--\n\nApply a command JSON and return the response JSON.\n\n"
    "Domain errors are reported in-band as `{\"ok\": false, \"error\": ...}` JSON,\nnot raised.";

constexpr char kDiagnoseDoc[] =
    "diagnose($self, cmd_json, *, run=True, echo=None, cancel=None, ready=None, strict=False,\n"
    "         strategy_text=None, result=None)\n--\n\n"
    "Apply a command JSON as `command` does (unless `run` is false), and also\n"
    "return what is wrong with it as data: (response JSON or None, diagnostics JSON).\n\n"
    "`echo` (a file descriptor, or an object with fileno() such as sys.stderr)\n"
    "receives a build's cargo and wasm-bindgen output as it comes, each line\n"
    "after the crate name and \": \".\n\n"
    "`cancel` (an object with is_set(), such as a threading.Event) stops a build\n"
    "once it is set, on any thread; the answer is then the build's \"cancelled\".\n\n"
    "The diagnostics are {\"diagnostics\": [...]}, every fault decoding finds and\n"
    "warnings about members nothing declares and indicators no strategy declares,\n"
    "each with severity, kind, message, path, and index, line and column in cmd_json.\n\n"
    "`ready(kind, mcu, project_dir)` is called before a build writes anything; what it\n"
    "raises stops the build and is raised. With `strict`, a build whose request draws\n"
    "warnings does not run (the answer is None). `strategy_text` (first, end), byte offsets\n"
    "of cmd_json, must hold the strategy and only whitespace beside it; when it does not,\n"
    "nothing runs and the diagnostics are None.\n\n"
    "With `result` (Target, Manifest, ManifestFile), a compile's successful answer comes\n"
    "as the tuple (target, manifest, path, built, (store key, hit) or None) instead of JSON;\n"
    "with (Target, Manifest, ManifestFile, CompileResult), as a CompileResult.\n\n"
    "The request is read once when it is a compile request without a fault.";

constexpr char kVersionDoc[] = "version()\n--\n\nThe library version.";

constexpr char kSchemaDoc[] =
    "strategy_schema_json()\n--\n\nThe JSON Schema (draft 2020-12) of strategy documents, as JSON "
    "text.\n\nGenerated from the declarations the compiler decodes strategies with.";

constexpr char kVocabularyDoc[] =
    "vocabulary_json()\n--\n\nWhat requests and answers are made of, as JSON text: the versions, "
    "target kinds,\noptimisation levels, MCU triples, the wasm triple, error kinds, each target's "
    "project\npaths, every path a project may hold, and the lock and record files.";

constexpr char kSentElsewhere[] =
    "_orvane_compile::PyCompiler is unsendable, but sent to another thread";
constexpr char kDroppedElsewhere[] =
    "_orvane_compile::PyCompiler is unsendable, but is being dropped on another thread";
constexpr char kArgumentNote[] = "while processing 'cmd_json'";

constexpr std::uintptr_t kBorrowed = ~std::uintptr_t{0};

// Identity of the calling thread. The operating system's own ids
// (pthread_t, std::thread::id) are recycled once a thread has finished, which
// would let a later thread pass for a handle's dead creator; these never are.
std::uint64_t current_thread() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

// What lives behind the object header. The state comes first and is owned by
// the instance; it may only ever be touched on the thread that created it.
struct Handle {
  HandleState state;
  std::atomic<std::uintptr_t> in_use{0};
  std::uint64_t owner = current_thread();
};

// The constructor has no way to report a failure from building the handle in
// place (the object is already allocated), so the handle must not be able to fail.
static_assert(std::is_nothrow_default_constructible_v<Handle>);

struct CompilerObject {
  PyObject_HEAD
  Handle handle;
};

Handle& handle_of(PyObject* self) { return reinterpret_cast<CompilerObject*>(self)->handle; }

// Created on first need and kept for the life of the process, so every module
// object (such as a re-import after the module left sys.modules) hands out the
// same class.
PyObject* g_compiler_type = nullptr;

PyObject* unexpected_keyword(const char* function, PyObject* key) {
  if (PyUnicode_Check(key)) {
    return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                        key);
  }
  return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                      key);
}

// ---- construction and destruction ------------------------------------------

PyObject* compiler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return nullptr;
  if (nargs > 0) {
    return PyErr_Format(PyExc_TypeError,
                        "Compiler.__new__() takes 0 positional arguments but %zd %s given", nargs,
                        nargs == 1 ? "was" : "were");
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    if (PyDict_Next(kwargs, &pos, &key, &value)) return unexpected_keyword("Compiler.__new__", key);
  }

  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (base_new == nullptr) {
    PyErr_SetString(PyExc_TypeError, "base type without tp_new");
    return nullptr;
  }
  PyObject* no_args = PyTuple_New(0);
  if (no_args == nullptr) return nullptr;
  PyObject* self = base_new(type, no_args, nullptr);
  Py_DECREF(no_args);
  if (self == nullptr) return nullptr;

  new (&handle_of(self)) Handle();
  return self;
}

void compiler_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Handle& handle = handle_of(self);
  if (handle.owner == current_thread()) {
    handle.~Handle();
  } else {
    // The state belongs to another thread, so it is deliberately leaked rather
    // than destroyed here. Dealloc may run while an exception is being raised;
    // the report must not replace it.
    PyObject* pending_type = nullptr;
    PyObject* pending_value = nullptr;
    PyObject* pending_tb = nullptr;
    PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
    PyErr_SetString(PyExc_RuntimeError, kDroppedElsewhere);
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(pending_type, pending_value, pending_tb);
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

// ---- argument handling -------------------------------------------------------

// A keyword-only parameter of a method: its name, and where its argument goes (left as it
// is when not given).
struct Keyword {
  const char* name;
  PyObject** value;
};

// Binds the parameter `cmd_json`, by position or keyword, and the keyword-only parameters the
// method takes. The returned references are borrowed from the argument tuple or keyword
// dictionary.
PyObject* bind_cmd_json(PyObject* args, PyObject* kwargs, const char* method,
                        std::span<const Keyword> keywords = {}) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return nullptr;
  if (nargs > 1) {
    return PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                        method, nargs);
  }
  PyObject* value = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &item)) {
      const auto named = [key](const char* name) {
        return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
      };
      const auto keyword = std::find_if(keywords.begin(), keywords.end(),
                                        [&](const Keyword& k) { return named(k.name); });
      if (keyword != keywords.end()) {
        *keyword->value = item;
        continue;
      }
      if (!named("cmd_json")) return unexpected_keyword(method, key);
      if (value != nullptr) {
        return PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'cmd_json'",
                            method);
      }
      value = item;
    }
  }
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'cmd_json'",
                 method);
  }
  return value;
}

// Attaches the argument note where the interpreter supports notes; before 3.11
// there is no add_note and the error goes out as it is.
void add_argument_note(PyObject* exc) {
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s", kArgumentNote);
  if (result == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(result);
  }
}

void raise_not_a_str(PyObject* obj) {
  PyObject* message = nullptr;
  if (obj == Py_None) {
    message = PyUnicode_FromString("'None' is not an instance of 'str'");
  } else {
    PyObject* qualname =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (qualname != nullptr && PyUnicode_Check(qualname)) {
      message = PyUnicode_FromFormat("'%U' object is not an instance of 'str'", qualname);
    } else {
      PyErr_Clear();
      message = PyUnicode_FromString(
          "'<failed to extract type name>' object is not an instance of 'str'");
    }
    Py_XDECREF(qualname);
  }
  if (message == nullptr) return;
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
  Py_DECREF(message);
  if (exc == nullptr) return;
  add_argument_note(exc);
  PyErr_SetObject(PyExc_TypeError, exc);
  Py_DECREF(exc);
}

// The UTF-8 bytes of `obj`, owned by the str itself (cached on first use), so
// even a request of hundreds of megabytes is never copied.
const char* utf8_of(PyObject* obj, Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) {
    raise_not_a_str(obj);
    return nullptr;
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, size);
  if (utf8 == nullptr) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) add_argument_note(value);
    PyErr_Restore(type, value, tb);
  }
  return utf8;
}

// Holds the handle's exclusive-use flag for one call and gives it back on
// every way out.
class Borrow {
 public:
  explicit Borrow(Handle& handle) : handle_(handle) {
    std::uintptr_t expected = 0;
    taken_ = handle_.in_use.compare_exchange_strong(expected, kBorrowed, std::memory_order_acquire,
                                                    std::memory_order_relaxed);
  }
  ~Borrow() {
    if (taken_) handle_.in_use.store(0, std::memory_order_release);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool taken() const { return taken_; }

 private:
  Handle& handle_;
  bool taken_ = false;
};

// ---- methods ---------------------------------------------------------------------

enum class Fault { none, out_of_memory, internal };

// The thread that runs the interpreter's signal handlers, noted when the module is set up.
// Only there can a signal's exception be raised, so only there is it looked for.
unsigned long g_main_thread = 0;

bool on_main_thread() { return g_main_thread != 0 && PyThread_get_thread_ident() == g_main_thread; }

// Lets the signal handlers of the interpreter run while a command waits for a build, and asks
// the caller's `cancel` object: the core asks every little while, on this thread and without
// the interpreter lock, whether to stop. Each time the lock is taken briefly; pending signals
// are handled (on the main thread), and when a handler raises (SIGINT's KeyboardInterrupt,
// say), the exception is kept and the build stopped; a set `cancel` stops it too.
struct SignalWatch {
  PyThreadState* released = nullptr;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  bool signals = false;
  PyObject* cancel = nullptr;  // held by the call
  bool cancelled = false;

  bool poll() {
    if (type != nullptr || cancelled) return true;
    PyEval_RestoreThread(released);
    if (signals && PyErr_CheckSignals() < 0) {
      PyErr_Fetch(&type, &value, &traceback);
    } else if (cancel != nullptr) {
      PyObject* set = PyObject_CallMethod(cancel, "is_set", nullptr);
      const int truth = set == nullptr ? -1 : PyObject_IsTrue(set);
      Py_XDECREF(set);
      if (truth < 0) {
        PyErr_Fetch(&type, &value, &traceback);
      } else {
        cancelled = truth != 0;
      }
    }
    released = PyEval_SaveThread();
    return type != nullptr || cancelled;
  }
  bool raised() const { return type != nullptr; }
  // Raises the kept exception (the lock is held again).
  PyObject* restore() {
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
    return nullptr;
  }
};

// The descriptor that `echo` names: None gives -1; otherwise an int, or an
// object with fileno() such as sys.stderr. -2 with an exception set.
int echo_descriptor(PyObject* echo) {
  if (echo == nullptr || echo == Py_None) return -1;
  const int fd = PyObject_AsFileDescriptor(echo);
  return fd < 0 ? -2 : fd;
}

// The arguments of `diagnose` beyond `cmd_json`, as given (borrowed; null when not given).
struct DiagnoseArgs {
  PyObject* echo = nullptr;
  PyObject* run = nullptr;
  PyObject* cancel = nullptr;
  PyObject* ready = nullptr;
  PyObject* strict = nullptr;
  PyObject* strategy_text = nullptr;
  PyObject* result = nullptr;
};

// A truth value of an optional argument into `out`; false with an exception set.
bool truth_of(PyObject* arg, bool& out) {
  if (arg == nullptr) return true;
  const int truth = PyObject_IsTrue(arg);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// `strategy_text`: None, or a pair of byte offsets.
bool byte_range_of(PyObject* arg, std::optional<std::pair<std::size_t, std::size_t>>& out) {
  if (arg == nullptr || arg == Py_None) return true;
  Py_ssize_t first = 0;
  Py_ssize_t second = 0;
  if (!PyTuple_Check(arg) || !PyArg_ParseTuple(arg, "nn", &first, &second) || first < 0 ||
      second < first) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "strategy_text must be a pair of byte offsets (first, end)");
    }
    return false;
  }
  out.emplace(static_cast<std::size_t>(first), static_cast<std::size_t>(second));
  return true;
}

// `ready(kind, mcu, project_dir)`, asked with the lock held again before a build writes
// anything; what it raises is kept, and stops the build.
std::optional<orvane::builder::CompileError> ask_ready(PyObject* ready, SignalWatch& watch,
                                                       const orvane::builder::Manifest& m,
                                                       const std::filesystem::path& project_dir) {
  const orvane::builder::CompileError stopped{orvane::builder::ErrorKind::Build, "cancelled"};
  if (watch.raised()) return stopped;
  PyEval_RestoreThread(watch.released);
  const std::string_view kind = orvane::schema::target_kind_name(m.target.kind);
  const std::string dir = project_dir.string();
  PyObject* answer = nullptr;
  PyObject* mcu = m.target.mcu.empty()
                      ? (Py_INCREF(Py_None), Py_None)
                      : PyUnicode_FromStringAndSize(m.target.mcu.data(),
                                                    static_cast<Py_ssize_t>(m.target.mcu.size()));
  PyObject* folder = PyUnicode_DecodeFSDefaultAndSize(dir.data(), static_cast<Py_ssize_t>(dir.size()));
  PyObject* kind_text = PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size()));
  if (mcu != nullptr && folder != nullptr && kind_text != nullptr) {
    answer = PyObject_CallFunctionObjArgs(ready, kind_text, mcu, folder, nullptr);
  }
  Py_XDECREF(mcu);
  Py_XDECREF(folder);
  Py_XDECREF(kind_text);
  if (answer == nullptr) PyErr_Fetch(&watch.type, &watch.value, &watch.traceback);
  Py_XDECREF(answer);
  watch.released = PyEval_SaveThread();
  if (watch.raised()) return stopped;
  return std::nullopt;
}

// The text of the exception being raised, which is cleared; "" when none is.
std::string exception_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::string text;
  PyObject* shown = value != nullptr ? PyObject_Str(value) : nullptr;
  const char* utf8 = shown != nullptr ? PyUnicode_AsUTF8AndSize(shown, nullptr) : nullptr;
  if (utf8 != nullptr) text = utf8;
  if (text.empty() && type != nullptr) {
    PyObject* name = PyObject_GetAttrString(type, "__name__");
    const char* n = name != nullptr ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    if (n != nullptr) text = n;
    Py_XDECREF(name);
  }
  PyErr_Clear();
  Py_XDECREF(shown);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return text;
}

// A store of a scheme the core has no backend for (s3://...), opened by the package's
// `orvane_compile._store.open_store(url)`: an object whose get(key) gives (record, artifact)
// or None, put(key, artifact, record) and drop(key). Each is asked with the lock held again; an
// Exception it raises is the store's io fault, anything else (KeyboardInterrupt) stops the
// build and is raised.
class HostStore final : public orvane::builder::ArtifactStore {
 public:
  using CompileError = orvane::builder::CompileError;

  HostStore(PyObject* store, std::string location, SignalWatch& watch)
      : store_(store), location_(std::move(location)), watch_(watch) {}
  ~HostStore() override {
    PyEval_RestoreThread(watch_.released);
    Py_DECREF(store_);
    watch_.released = PyEval_SaveThread();
  }

  // Opens `location` through the package, the lock released around the call.
  static std::expected<std::unique_ptr<orvane::builder::ArtifactStore>, CompileError> open(
      std::string_view location, SignalWatch& watch) {
    PyEval_RestoreThread(watch.released);
    PyObject* module = PyImport_ImportModule("orvane_compile._store");
    PyObject* store = module == nullptr ? nullptr
                                        : PyObject_CallMethod(module, "open_store", "s#", location.data(),
                                                              static_cast<Py_ssize_t>(location.size()));
    Py_XDECREF(module);
    std::optional<CompileError> fault;
    if (store == nullptr) fault = failure(watch, location);
    watch.released = PyEval_SaveThread();
    if (fault) return std::unexpected(std::move(*fault));
    return std::make_unique<HostStore>(store, std::string(location), watch);
  }

  std::expected<std::optional<std::string>, CompileError> get(const std::string& key, int out) override {
    return call([&]() -> std::expected<std::optional<std::string>, CompileError> {
      PyObject* got = PyObject_CallMethod(store_, "get", "s", key.c_str());
      if (got == nullptr) return std::unexpected(failure(watch_, location_));
      std::optional<std::string> record;
      if (got != Py_None) {
        char* record_bytes = nullptr;
        char* artifact = nullptr;
        Py_ssize_t record_size = 0;
        Py_ssize_t artifact_size = 0;
        PyObject* first = PyTuple_Check(got) && PyTuple_Size(got) == 2 ? PyTuple_GetItem(got, 0) : nullptr;
        PyObject* second = first != nullptr ? PyTuple_GetItem(got, 1) : nullptr;
        if (first == nullptr || PyBytes_AsStringAndSize(first, &record_bytes, &record_size) < 0 ||
            PyBytes_AsStringAndSize(second, &artifact, &artifact_size) < 0) {
          PyErr_Clear();
          Py_DECREF(got);
          return std::unexpected(CompileError{orvane::builder::ErrorKind::Io,
                                              "store " + location_ + ": get gave no (record, artifact) bytes"});
        }
        record.emplace(record_bytes, static_cast<std::size_t>(record_size));
        const int err = write_all(out, artifact, static_cast<std::size_t>(artifact_size));
        Py_DECREF(got);
        if (err) return std::unexpected(orvane::builder::system_error(orvane::builder::ErrorKind::Io,
                                                                      "writing an artifact from", location_, err));
        return record;
      }
      Py_DECREF(got);
      return record;
    });
  }

  std::optional<CompileError> put(const std::string& key, int artifact, const std::string& record) override {
    std::string bytes;
    if (int err = read_all(artifact, bytes)) {
      return orvane::builder::system_error(orvane::builder::ErrorKind::Io, "reading an artifact for", location_, err);
    }
    return call([&]() -> std::optional<CompileError> {
      PyObject* done = PyObject_CallMethod(store_, "put", "sy#y#", key.c_str(), bytes.data(),
                                           static_cast<Py_ssize_t>(bytes.size()), record.data(),
                                           static_cast<Py_ssize_t>(record.size()));
      if (done == nullptr) return failure(watch_, location_);
      Py_DECREF(done);
      return std::nullopt;
    });
  }

  std::optional<CompileError> drop(const std::string& key) override {
    return call([&]() -> std::optional<CompileError> {
      PyObject* done = PyObject_CallMethod(store_, "drop", "s", key.c_str());
      if (done == nullptr) return failure(watch_, location_);
      Py_DECREF(done);
      return std::nullopt;
    });
  }

 private:
  template <class F>
  std::invoke_result_t<F> call(F&& f) {
    PyEval_RestoreThread(watch_.released);
    auto out = f();
    watch_.released = PyEval_SaveThread();
    return out;
  }

  // The raised exception as the store's fault; one that is not an Exception is kept to be
  // raised, and the build stops.
  static CompileError failure(SignalWatch& watch, std::string_view location) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
      PyErr_Fetch(&watch.type, &watch.value, &watch.traceback);
      return CompileError{orvane::builder::ErrorKind::Build, "cancelled"};
    }
    return CompileError{orvane::builder::ErrorKind::Io, "store " + std::string(location) + ": " + exception_text()};
  }

  static int write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return 0;
  }

  static int read_all(int fd, std::string& out) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return errno;
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return 0;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }

  PyObject* store_;
  std::string location_;
  SignalWatch& watch_;
};

PyObject* str_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// `command`, or with `diagnosing` `diagnose`: the answer (None when it did not run) and the
// diagnostics of the request as JSON text (None when `strategy_text` does not hold the
// strategy alone).
PyObject* compiler_call(PyObject* self, PyObject* args, PyObject* kwargs, bool diagnosing) noexcept {
  DiagnoseArgs given;
  const Keyword keywords[] = {
      {"echo", &given.echo},     {"run", &given.run},       {"cancel", &given.cancel},
      {"ready", &given.ready},   {"strict", &given.strict}, {"strategy_text", &given.strategy_text},
      {"result", &given.result},
  };
  PyObject* cmd_json =
      diagnosing ? bind_cmd_json(args, kwargs, "Compiler.diagnose", keywords)
                 : bind_cmd_json(args, kwargs, "Compiler.command");
  if (cmd_json == nullptr) return nullptr;
  orvane::protocol::ExchangeOptions options;
  if (!truth_of(given.run, options.run) || !truth_of(given.strict, options.refuse_warnings) ||
      !byte_range_of(given.strategy_text, options.strategy_text)) {
    return nullptr;
  }
  orvane::protocol::CommandHooks hooks;
  hooks.echo_fd = echo_descriptor(given.echo);
  if (hooks.echo_fd == -2) return nullptr;
  PyObject* ready = given.ready == Py_None ? nullptr : given.ready;
  if (ready != nullptr && !PyCallable_Check(ready)) {
    PyErr_SetString(PyExc_TypeError, "ready must be callable");
    return nullptr;
  }

  Handle& handle = handle_of(self);
  if (handle.owner != current_thread()) {
    PyErr_SetString(PyExc_RuntimeError, kSentElsewhere);
    return nullptr;
  }
  Borrow borrow(handle);
  if (!borrow.taken()) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }

  Py_ssize_t size = 0;
  const char* utf8 = utf8_of(cmd_json, &size);
  if (utf8 == nullptr) return nullptr;

  // The bytes belong to the str. A keyword dictionary passed in from C may be
  // changed by another thread once the lock is released, so hold the str
  // itself (and the callables) until the dispatcher is done.
  Py_INCREF(cmd_json);
  Py_XINCREF(ready);
  std::string response;
  orvane::protocol::Exchange exchanged;
  std::string diagnostics;
  Fault fault = Fault::none;
  SignalWatch watch;
  watch.signals = on_main_thread();
  if (given.cancel != nullptr && given.cancel != Py_None) {
    Py_INCREF(given.cancel);
    watch.cancel = given.cancel;
  }
  if (watch.signals || watch.cancel) hooks.cancelled = [&watch] { return watch.poll(); };
  hooks.open_store = [&watch](std::string_view location) { return HostStore::open(location, watch); };
  // A compile's success is wanted as data when it is to be made into the result's classes.
  std::optional<orvane::protocol::CompileSuccess> success;
  if (given.result != nullptr && given.result != Py_None) hooks.success = &success;
  if (ready != nullptr) {
    hooks.before_write = [&watch, ready](const orvane::builder::Manifest& m,
                                         const std::filesystem::path& dir) {
      return ask_ready(ready, watch, m, dir);
    };
  }
  watch.released = PyEval_SaveThread();
  try {
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    if (diagnosing) {
      exchanged = orvane::protocol::exchange(handle.state, text, hooks, options);
      diagnostics = orvane::protocol::diagnostics_json(exchanged.diagnostics, text);
    } else {
      response = orvane::protocol::command(handle.state, text, hooks);
    }
  } catch (const std::bad_alloc&) {
    fault = Fault::out_of_memory;
  } catch (...) {
    fault = Fault::internal;
  }
  PyEval_RestoreThread(watch.released);
  Py_DECREF(cmd_json);
  Py_XDECREF(ready);
  Py_XDECREF(watch.cancel);

  // A signal handler raised while the build ran, or `ready` refused it: the build was stopped
  // for it, and its exception (KeyboardInterrupt, say) is the outcome of the call.
  if (watch.raised()) return watch.restore();
  switch (fault) {
    case Fault::none:
      break;
    case Fault::out_of_memory:
      return PyErr_NoMemory();
    case Fault::internal:
      PyErr_SetString(PyExc_SystemError, "_orvane_compile: the command dispatcher failed");
      return nullptr;
  }
  if (!diagnosing) return str_of(response);
  PyObject* answer = nullptr;
  if (success) {
    answer = typed_result(*success, given.result);
    if (answer == nullptr) return nullptr;
  }
  if (answer == nullptr) {
    answer = exchanged.response ? str_of(*exchanged.response) : (Py_INCREF(Py_None), Py_None);
  }
  if (answer == nullptr) return nullptr;
  PyObject* found = exchanged.strategy_text_holds ? str_of(diagnostics) : (Py_INCREF(Py_None), Py_None);
  if (found == nullptr) {
    Py_DECREF(answer);
    return nullptr;
  }
  PyObject* out = PyTuple_Pack(2, answer, found);
  Py_DECREF(answer);
  Py_DECREF(found);
  return out;
}

PyObject* compiler_command(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return compiler_call(self, args, kwargs, false);
}

PyObject* compiler_diagnose(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return compiler_call(self, args, kwargs, true);
}

PyObject* version_str() {
  return PyUnicode_FromStringAndSize(orvane::kCompilerVersion.data(),
                                     static_cast<Py_ssize_t>(orvane::kCompilerVersion.size()));
}

PyObject* compiler_version(PyObject*, PyObject*) noexcept { return version_str(); }

PyMethodDef compiler_methods[] = {
    {"command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compiler_command)),
     METH_VARARGS | METH_KEYWORDS, kCommandDoc},
    {"diagnose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compiler_diagnose)),
     METH_VARARGS | METH_KEYWORDS, kDiagnoseDoc},
    {"version", compiler_version, METH_NOARGS | METH_STATIC, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot compiler_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(compiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(compiler_dealloc)},
    {Py_tp_methods, compiler_methods},
    {0, nullptr},
};

// The class reports itself as builtins.Compiler. Spelling the module out keeps
// `Compiler.__module__` readable: a bare "Compiler" leaves the type without
// `__module__` and makes every import emit a DeprecationWarning. Default flags
// only: the class cannot be subclassed, has no instance dictionary or weak
// references, and is not tracked by the cyclic collector (it holds no Python
// references).
PyType_Spec compiler_spec = {
    "builtins.Compiler", static_cast<int>(sizeof(CompilerObject)), 0, Py_TPFLAGS_DEFAULT, compiler_slots,
};

PyObject* compiler_type() {
  if (g_compiler_type == nullptr) g_compiler_type = PyType_FromSpec(&compiler_spec);
  return g_compiler_type;
}

// ---- module --------------------------------------------------------------------

// A module function that answers with the text `make` writes.
template <std::string (*make)()>
PyObject* text_function(PyObject*, PyObject*) noexcept {
  std::string text;
  try {
    text = make();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Not in the module's method table, which is empty, nor in `__all__`: attributes of the
// module beside the declared names.
PyMethodDef schema_function = {"strategy_schema_json", text_function<orvane::schema::strategy_schema_json>,
                               METH_NOARGS, kSchemaDoc};
PyMethodDef vocabulary_function = {"vocabulary_json", text_function<orvane::protocol::vocabulary_json>,
                                   METH_NOARGS, kVocabularyDoc};

// Appends `name` to the module's `__all__` (creating the list on first use) and
// binds it. `value` is borrowed.
int add_exported(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return -1;
  }
  PyObject* py_name = PyUnicode_FromString(name);
  if (py_name == nullptr) {
    Py_DECREF(all);
    return -1;
  }
  const int appended = PyList_Append(all, py_name);
  Py_DECREF(py_name);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

// The ident of threading.main_thread(), whichever thread imports the module.
int note_main_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) return -1;
  PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_DECREF(threading);
  if (main == nullptr) return -1;
  PyObject* ident = PyObject_GetAttrString(main, "ident");
  Py_DECREF(main);
  if (ident == nullptr) return -1;
  g_main_thread = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    g_main_thread = 0;
  }
  return 0;
}

int module_exec(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_orvane_compile can only initialise a module object");
    return -1;
  }
  if (note_main_thread() < 0) return -1;
  PyObject* version = version_str();
  if (version == nullptr) return -1;
  const int added = add_exported(module, "__version__", version);
  Py_DECREF(version);
  if (added < 0) return -1;

  PyObject* type = compiler_type();
  if (type == nullptr) return -1;
  if (add_exported(module, "Compiler", type) < 0) return -1;

  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  int added_functions = 0;
  for (PyMethodDef* function : {&schema_function, &json_text_function, &vocabulary_function}) {
    PyObject* bound = PyCFunction_NewEx(function, nullptr, name);
    added_functions = bound == nullptr ? -1 : PyModule_AddObjectRef(module, function->ml_name, bound);
    Py_XDECREF(bound);
    if (added_functions < 0) break;
  }
  Py_DECREF(name);
  return added_functions;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_orvane_compile", kModuleDoc, 0, nullptr, module_slots,
    nullptr,               nullptr,           nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__orvane_compile() { return PyModuleDef_Init(&module_def); }
