#include "json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "json/writer.hpp"

namespace {

constexpr int kDeepest = 200;

// A str as a JSON string, escaped as the core escapes strings (which is as json.dumps does
// with ensure_ascii=False). False with an exception set.
bool append_str(std::string& out, PyObject* s) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
  if (utf8 != nullptr) {
    orvane::json::append_string(out, std::string_view(utf8, static_cast<std::size_t>(size)));
    return true;
  }
  // Lone surrogates have no UTF-8. Encoded as if they had (bytes ED A0..BF xx, which no
  // UTF-8 text holds), they pass the escaping untouched and are then written as their \u
  // escape, for the compiler to judge as it judges that text.
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyObject* bytes = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
  if (bytes == nullptr) return false;
  char* data = nullptr;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    Py_DECREF(bytes);
    return false;
  }
  std::string quoted;
  orvane::json::append_string(quoted, std::string_view(data, static_cast<std::size_t>(size)));
  Py_DECREF(bytes);
  constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    const auto b = static_cast<unsigned char>(quoted[i]);
    if (b == 0xED && i + 2 < quoted.size() && (static_cast<unsigned char>(quoted[i + 1]) & 0xE0) == 0xA0) {
      const unsigned code = 0xD000 | ((static_cast<unsigned char>(quoted[i + 1]) & 0x3F) << 6) |
                            (static_cast<unsigned char>(quoted[i + 2]) & 0x3F);
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
      i += 2;
    } else {
      out += quoted[i];
    }
  }
  return true;
}

// The decimal digits of "0x..." or "-0x..." hexadecimal text.
void append_decimal(std::string& out, std::string_view hex) {
  if (hex.starts_with('-')) {
    out += '-';
    hex.remove_prefix(1);
  }
  hex.remove_prefix(2);  // "0x"
  // Base 2^32 limbs, most significant first.
  std::vector<std::uint32_t> limbs((hex.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[hex.size() - 1 - i];
    const std::uint32_t nibble = c <= '9' ? std::uint32_t(c - '0') : std::uint32_t(c - 'a' + 10);
    limbs[limbs.size() - 1 - i / 8] |= nibble << (4 * (i % 8));
  }
  // Repeated division by 10^9: nine decimal digits a pass, least significant first.
  std::vector<std::uint32_t> groups;
  std::size_t first = 0;
  while (first < limbs.size()) {
    std::uint64_t rest = 0;
    for (std::size_t i = first; i < limbs.size(); ++i) {
      const std::uint64_t value = (rest << 32) | limbs[i];
      limbs[i] = std::uint32_t(value / 1000000000u);
      rest = value % 1000000000u;
    }
    groups.push_back(std::uint32_t(rest));
    while (first < limbs.size() && limbs[first] == 0) ++first;
  }
  std::string digits = std::to_string(groups.empty() ? 0 : groups.back());
  for (std::size_t i = groups.size() > 1 ? groups.size() - 1 : 0; i-- > 0;) {
    const std::string group = std::to_string(groups[i]);
    digits.append(9 - group.size(), '0');
    digits += group;
  }
  out += digits;
}

// float.__repr__'s own text of `x`: the plain road beside append_double.
bool append_repr_double(std::string& out, double x) {
  char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) return false;
  out += text;
  PyMem_Free(text);
  return true;
}

// The decimal text of an int, as int.__repr__ writes it (with no limit on its length).
bool append_int(std::string& out, PyObject* n) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (small == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    out += std::to_string(small);
    return true;
  }
  PyObject* exact = PyLong_Check(n) && Py_IS_TYPE(n, &PyLong_Type)
                        ? (Py_INCREF(n), n)
                        : PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyLong_Type), n,
                                                       nullptr);
  if (exact == nullptr) return false;
  // Hexadecimal text has no length limit (int's decimal text does, past 4300 digits by
  // default); its digits are turned into decimal here.
  PyObject* text = PyNumber_ToBase(exact, 16);
  Py_DECREF(exact);
  if (text == nullptr) return false;
  Py_ssize_t size = 0;
  const char* hex = PyUnicode_AsUTF8AndSize(text, &size);
  if (hex != nullptr) append_decimal(out, std::string_view(hex, static_cast<std::size_t>(size)));
  Py_DECREF(text);
  return hex != nullptr;
}

// The shortest text that reads back as `x`, as float.__repr__ writes it.
//
// Python's own (PyOS_double_to_string) allocates the text and finds the digits by the slow
// road: 0.5 us a number, a third of writing a 2 KB strategy with a score of them. to_chars
// finds the same shortest digits (and, of two as short, the one nearer x, as Python does)
// without either; they are laid out here as repr lays them out: positionally, with ".0" for a
// whole number, when the decimal point falls from 4 places left of the first digit to 16
// right of it, else as d.ddde-XX. The plain road, `append_repr_double`, is taken should
// to_chars ever fail; the tests hold the two to repr over awkward and random numbers.
bool append_double(std::string& out, double x) {
  char buffer[40];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
  if (error != std::errc{}) return append_repr_double(out, x);
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));  // -d.ddde±XX
  if (text.starts_with('-')) {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  char digits[24];
  std::size_t count = 0;
  for (char c : mantissa) {
    if (c != '.') digits[count++] = c;
  }
  const std::string_view d(digits, count);
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= -4 || point > 16) {
    out += d[0];
    if (count > 1) {
      out += '.';
      out += d.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += d;
  } else if (static_cast<std::size_t>(point) >= count) {
    out += d;
    out.append(static_cast<std::size_t>(point) - count, '0');
    out += ".0";
  } else {
    out += d.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += d.substr(static_cast<std::size_t>(point));
  }
  return true;
}

PyObject* type_name(PyObject* value) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
}

void raise_type(const char* format, PyObject* value) {
  PyObject* name = type_name(value);
  if (name == nullptr) return;
  PyErr_Format(PyExc_TypeError, format, name);
  Py_DECREF(name);
}

class Writer {
 public:
  std::string out;
  // Set for the first NaN or infinity met before any cut: (message, path).
  PyObject* refusal = nullptr;

  explicit Writer(PyObject* root) : root_(root) {}
  ~Writer() { Py_XDECREF(refusal); }

  // False with an exception set, or with `refusal` set.
  bool value(PyObject* v, int depth) {
    // The exact built-in types first, by their type object alone: under the stable ABI each
    // Py*_Check is a call into the interpreter (and the float one a walk of the bases), and a
    // parsed document is made of nothing else. Subclasses take the checks below.
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) return append_str(out, v);
    if (type == &PyDict_Type) return object(v, depth);
    if (type == &PyList_Type) return array(v, depth);
    if (type == &PyLong_Type) return append_int(out, v);
    if (type == &PyFloat_Type) {
      const double x = PyFloat_AsDouble(v);
      if (std::isfinite(x)) return append_double(out, x);
    }
    if (v == Py_None) {
      out += "null";
    } else if (v == Py_True) {
      out += "true";
    } else if (v == Py_False) {
      out += "false";
    } else if (PyUnicode_Check(v)) {
      return append_str(out, v);
    } else if (PyLong_Check(v)) {
      return append_int(out, v);
    } else if (PyFloat_Check(v)) {
      const double x = PyFloat_AsDouble(v);
      if (std::isfinite(x)) return append_double(out, x);
      if (cut_) {
        out += "null";
      } else {
        refuse(x);
        return false;
      }
    } else if (PyDict_Check(v)) {
      return object(v, depth);
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
      return array(v, depth);
    } else {
      raise_type("Object of type %U is not JSON serializable", v);
      return false;
    }
    return true;
  }

 private:
  PyObject* root_;
  bool cut_ = false;
  // The keys and indices on the way to the value being written.
  struct Step {
    PyObject* key;  // null for an element
    Py_ssize_t index;
  };
  std::vector<Step> steps_;

  bool deep(int depth, const char* empty) {
    if (depth < kDeepest) return false;
    cut_ = true;
    out += empty;
    return true;
  }

  bool key(PyObject* k) {
    if (Py_TYPE(k) == &PyUnicode_Type || PyUnicode_Check(k)) return append_str(out, k);
    if (k == Py_True || k == Py_False || k == Py_None) {
      out += k == Py_True ? "\"true\"" : k == Py_False ? "\"false\"" : "\"null\"";
      return true;
    }
    out += '"';
    if (PyLong_Check(k)) {
      if (!append_int(out, k)) return false;
    } else if (PyFloat_Check(k)) {
      const double x = PyFloat_AsDouble(k);
      if (std::isnan(x)) {
        out += "NaN";
      } else if (std::isinf(x)) {
        out += x > 0 ? "Infinity" : "-Infinity";
      } else if (!append_double(out, x)) {
        return false;
      }
    } else {
      raise_type("keys must be str, int, float, bool or None, not %U", k);
      return false;
    }
    out += '"';
    return true;
  }

  bool object(PyObject* dict, int depth) {
    if (deep(depth, "{}")) return true;
    out += '{';
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* item = nullptr;
    bool first = true;
    while (PyDict_Next(dict, &pos, &k, &item)) {
      if (!first) out += ',';
      first = false;
      // Borrowed references that must outlive the writing of the value: the dict may be
      // changed by code the writing runs (a float subclass, say).
      Py_INCREF(k);
      Py_INCREF(item);
      steps_.push_back(Step{k, 0});
      bool ok = key(k);
      if (ok) {
        out += ':';
        ok = value(item, depth + 1);
      }
      steps_.pop_back();
      Py_DECREF(item);
      Py_DECREF(k);
      if (!ok) return false;
    }
    out += '}';
    return true;
  }

  bool array(PyObject* seq, int depth) {
    if (deep(depth, "[]")) return true;
    out += '[';
    const bool is_list = PyList_Check(seq);
    for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(seq) : PyTuple_Size(seq)); ++i) {
      if (i) out += ',';
      PyObject* item = is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
      if (item == nullptr) return false;
      Py_INCREF(item);
      steps_.push_back(Step{nullptr, i});
      const bool ok = value(item, depth + 1);
      steps_.pop_back();
      Py_DECREF(item);
      if (!ok) return false;
    }
    out += ']';
    return true;
  }

  // The path of the value being written: `root`, then ".key" and "[index]" ("key" alone
  // first when the root is "").
  PyObject* path() {
    PyObject* parts = PyList_New(0);
    if (parts == nullptr) return nullptr;
    bool ok = PyList_Append(parts, root_) == 0;
    bool empty = PyUnicode_GetLength(root_) == 0;
    for (const Step& s : steps_) {
      if (!ok) break;
      PyObject* step = s.key == nullptr ? PyUnicode_FromFormat("[%zd]", s.index)
                                        : PyUnicode_FromFormat(empty ? "%S" : ".%S", s.key);
      empty = false;
      ok = step != nullptr && PyList_Append(parts, step) == 0;
      Py_XDECREF(step);
    }
    PyObject* joined = nullptr;
    if (ok) {
      PyObject* nothing = PyUnicode_FromString("");
      if (nothing != nullptr) joined = PyUnicode_Join(nothing, parts);
      Py_XDECREF(nothing);
    }
    Py_DECREF(parts);
    return joined;
  }

  void refuse(double x) {
    const char* shown = std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf";
    PyObject* where = path();
    if (where == nullptr) return;
    refusal = Py_BuildValue(
        "(sN)", (std::string(shown) + " is not a JSON number: JSON cannot carry NaN or infinity").c_str(),
        where);
  }
};

PyObject* json_text(PyObject*, PyObject* args) noexcept {
  PyObject* value = nullptr;
  PyObject* root = nullptr;
  if (!PyArg_ParseTuple(args, "OU:json_text", &value, &root)) return nullptr;
  try {
    Writer writer(root);
    if (!writer.value(value, 0)) {
      if (writer.refusal == nullptr) return nullptr;
      Py_INCREF(writer.refusal);
      return writer.refusal;
    }
    return PyUnicode_FromStringAndSize(writer.out.data(),
                                       static_cast<Py_ssize_t>(writer.out.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

constexpr char kJsonTextDoc[] =
    "json_text(value, root)\n--\n\n"
    "`value` as compact JSON text, non-ASCII kept as UTF-8; or (message, path) for its first\n"
    "NaN or infinity, `root` being the path of `value`.";

}  // namespace

PyMethodDef json_text_function = {"json_text", json_text, METH_VARARGS, kJsonTextDoc};
