"""The module object, the Compiler class and how the package is installed."""

import gc
import importlib
import math
import os
import pathlib
import random
import struct
import sys
import weakref

import pytest

import orvane_compile
from _requests import VERSION, VERSION_ANSWER
from orvane_compile import Compiler, _orvane_compile

SOURCE_PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "python" / "orvane_compile"

PY_TPFLAGS_BASETYPE = 1 << 10
PY_TPFLAGS_HAVE_GC = 1 << 14


def test_extension_is_the_installed_abi3_build():
    ext = pathlib.Path(os.path.abspath(_orvane_compile.__file__))
    assert ext.name == "_orvane_compile.abi3.so"
    package_dir = pathlib.Path(os.path.abspath(orvane_compile.__file__)).parent
    assert ext.parent == package_dir
    # The tests exercise the installed package, never the source tree.
    assert package_dir.resolve() != SOURCE_PACKAGE.resolve()


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (lambda: _orvane_compile.__version__, VERSION),
        (lambda: orvane_compile.__version__, VERSION),
        (lambda: Compiler.version(), VERSION),
        (lambda: Compiler().version(), VERSION),
        (lambda: _orvane_compile.__all__, ["__version__", "Compiler"]),
        (lambda: _orvane_compile.__name__, "orvane_compile._orvane_compile"),
        (lambda: _orvane_compile.__doc__, "The native module (`orvane_compile._orvane_compile`)."),
        (lambda: sorted(k for k in vars(_orvane_compile) if not k.startswith("__")),
         ["Compiler", "json_text", "strategy_schema_json", "vocabulary_json"]),
        (lambda: orvane_compile.Compiler is _orvane_compile.Compiler, True),
    ],
    ids=[
        "module-version",
        "package-version",
        "static-version",
        "instance-version",
        "all",
        "module-name",
        "module-doc",
        "module-functions",
        "package-reexport",
    ],
)
def test_module_namespace(value, expected):
    assert value() == expected


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (lambda: Compiler.__name__, "Compiler"),
        (lambda: Compiler.__qualname__, "Compiler"),
        (lambda: Compiler.__module__, "builtins"),
        (lambda: repr(Compiler), "<class 'builtins.Compiler'>"),
        (lambda: Compiler.__text_signature__, "()"),
        (lambda: Compiler.command.__text_signature__, "($self, cmd_json)"),
        (lambda: Compiler.command.__doc__,
         'Apply a command JSON and return the response JSON.\n\nDomain errors are reported in-band as '
         '`{"ok": false, "error": ...}` JSON,\nnot raised.'),
        (lambda: Compiler.version.__text_signature__, "()"),
        (lambda: Compiler.__flags__ & PY_TPFLAGS_BASETYPE, 0),
        (lambda: Compiler.__flags__ & PY_TPFLAGS_HAVE_GC, 0),
        (lambda: Compiler.__weakrefoffset__, 0),
        (lambda: Compiler.__dictoffset__, 0),
        (lambda: Compiler.__bases__, (object,)),
        (lambda: gc.is_tracked(Compiler()), False),
        (lambda: hasattr(Compiler(), "__dict__"), False),
    ],
    ids=[
        "name",
        "qualname",
        "module",
        "repr",
        "class-signature",
        "command-signature",
        "command-doc",
        "version-signature",
        "not-subclassable",
        "not-gc",
        "no-weakref-slot",
        "no-dict-slot",
        "bases",
        "instance-untracked",
        "instance-no-dict",
    ],
)
def test_compiler_class(value, expected):
    assert value() == expected


def subclass():
    class Sub(Compiler):
        pass


def set_attribute():
    Compiler().anything = 1


def make_weakref():
    weakref.ref(Compiler())


@pytest.mark.parametrize(
    ("misuse", "error", "match"),
    [
        (subclass, TypeError, "is not an acceptable base type"),
        (set_attribute, AttributeError, "has no attribute 'anything'"),
        (make_weakref, TypeError, "cannot create weak reference"),
        (lambda: object.__new__(Compiler), TypeError, r"is not safe, use builtins\.Compiler\.__new__\(\)"),
    ],
    ids=["subclass", "setattr", "weakref", "object-new"],
)
def test_class_refuses_what_it_does_not_support(misuse, error, match):
    with pytest.raises(error, match=match):
        misuse()


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "Compiler.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "Compiler.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "Compiler.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "Compiler.__new__() takes 0 positional arguments but 1 was given"),
    ],
    ids=["one-positional", "two-positional", "keyword", "positional-before-keyword"],
)
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Compiler(*args, **kwargs)
    assert str(info.value) == message


def test_reimport_builds_a_fresh_module_around_the_same_class(monkeypatch):
    name = "orvane_compile._orvane_compile"
    monkeypatch.delitem(sys.modules, name)
    again = importlib.import_module(name)
    assert again is not _orvane_compile
    assert again.Compiler is Compiler
    assert again.__all__ == ["__version__", "Compiler"]
    assert again.__all__ is not _orvane_compile.__all__
    assert again.Compiler().command('{"cmd":"version"}') == VERSION_ANSWER


def test_docstrings_are_the_stubs():
    """What help() shows at run time is what an editor shows from the stub."""
    import ast
    from importlib import resources

    stub = ast.parse(resources.files("orvane_compile").joinpath("_orvane_compile.pyi").read_text())
    compiler = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Compiler")
    methods = {n.name: ast.get_docstring(n) for n in compiler.body if isinstance(n, ast.FunctionDef)}
    assert Compiler.__doc__ == ast.get_docstring(compiler)
    assert (Compiler.command.__doc__, Compiler.version.__doc__) == (methods["command"], methods["version"])
    functions = {n.name: ast.get_docstring(n) for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert functions == {name: getattr(_orvane_compile, name).__doc__ for name in ("json_text", "strategy_schema_json", "vocabulary_json")}


# Floats whose text is easy to get wrong: where repr turns to an exponent, the extremes, the
# shortest of two near texts, negative zero.
AWKWARD_FLOATS = [0.0, -0.0, 1.0, -2.5, 100.0, 0.1, 2 / 3, 1e-4, 1e-5, 1.5e-7, 0.000123456789, 2.5e-5,
                  1e15, 1234567890123456.0, 1e16, 123456789012345678.0, 9007199254740993.0, 1e22, 1e23,
                  1e100, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308]


def test_json_text_writes_floats_as_repr_does():
    rng = random.Random(20261208)
    values = list(AWKWARD_FLOATS)
    while len(values) < 60000:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            values += [x, round(rng.uniform(0, 100), rng.randint(0, 6)), rng.randint(-999, 999) * 10.0 ** rng.randint(-9, 20)]
    wrong = [x for x in values if _orvane_compile.json_text([x, {"k": -x}], "") != f"[{x!r},{{\"k\":{-x!r}}}]"]
    assert wrong == []
