"""The typing stub shipped beside the module: present in the installed
package, and every function in it takes the parameters the module accepts
(names, order, which are required, defaults).

Only functions with a text signature can be compared by mypy.stubtest;
`check` has none (the default output function has no literal form), so the
argument handling of every function is probed here by calling it."""

import ast
import builtins
import inspect
import pathlib

import pytest

from velmora.tools import TessadynChecker

from doubles import Library, ident

STUB = pathlib.Path(TessadynChecker.__file__).with_name("TessadynChecker.pyi")
FUNCTIONS = ("abort", "isRunning", "check", "_discover", "_list_master", "_get_master",
             "_print_master", "_get_text", "_print_dev")


class Param:
    def __init__(self, arg, default):
        self.name = arg.arg
        self.has_default = default is not None
        # A default the stub cannot spell is given as `...`.
        self.default = ast.literal_eval(default) if default is not None else None


def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    funcs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), node.name
            defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
            funcs[node.name] = [Param(a, d) for a, d in zip(args.args, defaults)]
    return funcs


STUBBED = stub_functions()


class Marker:
    """An argument no function looks at before its arguments are bound."""


def type_error(func, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    return str(info.value)


class TestShipped:
    def test_stub_and_marker_beside_the_module(self):
        assert STUB.is_file()
        assert STUB.with_name("py.typed").is_file()

    def test_every_function_and_only_those(self):
        assert sorted(STUBBED) == sorted(FUNCTIONS)

    def test_state_and_versions_declared(self):
        tree = ast.parse(STUB.read_text(encoding="utf-8"))
        names = {t.target.id for t in tree.body if isinstance(t, ast.AnnAssign)}
        assert {"__version__", "__baseversion__"} <= names
        (state,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "_state"]
        attrs = [s.target.id for s in state.body if isinstance(s, ast.AnnAssign)]
        assert attrs == [n for n in vars(TessadynChecker._state) if not n.startswith("__")]
        version = [t.value for t in tree.body
                   if isinstance(t, ast.AnnAssign) and t.target.id == "__version__"]
        assert ast.literal_eval(version[0]) == TessadynChecker.__version__


@pytest.mark.parametrize("name", FUNCTIONS)
class TestArguments:
    def test_text_signature_agrees(self, name):
        func = getattr(TessadynChecker, name)
        try:
            sig = inspect.signature(func)
        except ValueError:
            assert name == "check"      # no text signature: probed below
            return
        params = STUBBED[name]
        assert [p.name for p in sig.parameters.values()] == [p.name for p in params]
        assert {p.kind for p in sig.parameters.values()} <= {
            inspect.Parameter.POSITIONAL_OR_KEYWORD}
        for p, stub in zip(sig.parameters.values(), params):
            assert (p.default is not inspect.Parameter.empty) == stub.has_default

    def test_positional_count(self, name):
        func = getattr(TessadynChecker, name)
        params = STUBBED[name]
        n = len(params)
        message = type_error(func, *[Marker()] * (n + 1))
        assert f"{name}() takes " in message
        required = sum(not p.has_default for p in params)
        if required == n:
            assert f"takes {n} positional argument" in message
        else:
            assert f"takes from {required} to {n} positional arguments" in message

    def test_each_name_at_its_position(self, name):
        # Given by position and again by keyword: the keyword names the
        # parameter at that position.
        func = getattr(TessadynChecker, name)
        for i, p in enumerate(STUBBED[name]):
            message = type_error(func, *[Marker()] * (i + 1), **{p.name: Marker()})
            assert message == f"{name}() got multiple values for argument '{p.name}'"

    def test_each_name_by_keyword(self, name):
        # Accepted by keyword: the one unknown keyword is what is reported.
        func = getattr(TessadynChecker, name)
        for p in STUBBED[name]:
            message = type_error(func, **{p.name: Marker(), "not_a_parameter": Marker()})
            assert message == f"{name}() got an unexpected keyword argument 'not_a_parameter'"

    def test_required_ones_are_missing(self, name):
        func = getattr(TessadynChecker, name)
        required = [p.name for p in STUBBED[name] if not p.has_default]
        if not required:
            return
        message = type_error(func)
        assert f"missing {len(required)} required positional argument" in message
        assert all(f"'{r}'" in message for r in required)


class TestCheckDefaults:
    """Leaving an argument of check() out has the effect of the stub's default."""

    @staticmethod
    def run(tc, capsys, *args, **kwargs):
        lib = Library()
        ip = lib.transport("IP")
        ip.master("10.0.0.1", devices=[(1, 291, 418, ident())])
        ip.master("10.0.0.2", ports=[False, False])
        lib.transport("USB").master("COM5", devices=[(1, 1, 2, None)])
        lib.install(tc)
        tc.check(*args, **kwargs)
        return lib.log, capsys.readouterr().out

    def test_defaults_match_the_stub(self, tc, capsys):
        params = STUBBED["check"]
        omitted = self.run(tc, capsys)
        assert "2 master(s)" in omitted[1] or "3 master(s)" in omitted[1]
        # Every default the stub spells, given explicitly, one at a time.
        for p in params:
            if p.default is not Ellipsis:
                assert self.run(tc, capsys, **{p.name: p.default}) == omitted, p.name
        # The one it cannot spell is the built-in print.
        (fnc,) = [p for p in params if p.default is Ellipsis]
        assert fnc.name == "printFnc"
        assert self.run(tc, capsys, **{fnc.name: builtins.print}) == omitted
        explicit = [builtins.print if p.default is Ellipsis else p.default for p in params]
        assert self.run(tc, capsys, *explicit) == omitted

    def test_other_values_differ(self, tc, capsys):
        # The comparison above can fail: a value other than the default
        # changes the run.
        omitted = self.run(tc, capsys)
        for name, value in (("address", "COM5"), ("auto", True), ("verbose", 3),
                            ("select", "usb"), ("gui", True)):
            assert self.run(tc, capsys, **{name: value}) != omitted, name
        lines = []
        self.run(tc, capsys, printFnc=lambda *a: lines.append(a))
        assert lines and self.run(tc, capsys, printFnc=lambda *a: None)[1] == ""


def test_typed_caller_runs(tc, capsys):
    # The calls that `mypy --strict` accepts in tests/typed_caller.py work.
    import typed_caller

    lib = Library()
    lib.transport("IP").master("10.0.0.1", devices=[(1, 291, 418, ident())])
    lib.transport("USB").master("COM5", devices=[(1, 1, 2, None)])
    lib.install(tc)
    lines = typed_caller.run()
    assert lines[0].startswith("Velmora Tessadyn Checker 1.9.2")
    assert "1 master(s) and 1 device(s) found" in lines   # eth only
    assert "2 master(s) and 2 device(s) found" in capsys.readouterr().out


def test_docstrings_as_at_run_time():
    # What an IDE shows from the stub is what help() shows.
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == TessadynChecker.__doc__
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            doc = ast.get_docstring(node, clean=False)
            assert doc == getattr(TessadynChecker, node.name).__doc__, node.name
