"""The module object, the Compiler class and how the package is installed."""

import gc
import importlib
import os
import pathlib
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
