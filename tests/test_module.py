"""Load-time behaviour of the module: namespace, run state, single module
object and interpreter, version fallback and the main-program run."""

import os
import subprocess
import sys
import textwrap

import pytest

from velmora.tools import TessadynChecker

NAME = "velmora.tools.TessadynChecker"


def run_python(code, tmp_path=None, **env):
    """Runs code in a fresh interpreter; a fake driver library without a
    version is put first on the path when tmp_path is given."""
    environ = dict(os.environ, **env)
    if tmp_path is not None:
        base = tmp_path / "velmora" / "base"
        base.mkdir(parents=True)
        (base / "__init__.py").write_text("")
        (base / "_IoddDrv.py").write_text("driverlist = []\n")
        (base / "IoddUtility.py").write_text(textwrap.dedent("""
            class CommonDriverManager:
                iodd = None
            class Logger:
                def __init__(self, verbose): pass
        """))
        environ["PYTHONPATH"] = str(tmp_path)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environ,
                          capture_output=True, text=True, timeout=60)


class TestNamespace:
    def test_names_bound_in_order(self):
        names = [n for n in vars(TessadynChecker) if not n.startswith("__") or n in
                 ("__version__", "__baseversion__")]
        assert names == ["Dict2Obj", "_IoddDrv", "IoddUtility", "__version__", "__baseversion__",
                         "_state", "abort", "isRunning", "check", "_discover", "_list_master",
                         "_get_master", "_print_master", "_get_text", "_print_dev"]
        assert TessadynChecker.__version__ == "1.9.2"

    def test_functions_report_the_module(self):
        for name in ("abort", "isRunning", "check", "_discover", "_list_master", "_get_master",
                     "_print_master", "_get_text", "_print_dev"):
            func = getattr(TessadynChecker, name)
            assert func.__module__ == NAME and (func.__doc__ is None) == name.startswith("_")

    def test_state_is_a_plain_class(self):
        state = TessadynChecker._state
        assert isinstance(state, type) and state.__bases__ == (object,)
        assert (state.__qualname__, state.__module__) == ("_state", NAME)
        assert [n for n in vars(state) if not n.startswith("__")] == ["abort", "isRuning"]

    def test_check_doc(self):
        doc = TessadynChecker.check.__doc__
        assert doc.startswith("Check for IO-Link masters and devices and print them to stdout\n\n"
                              "    .. hint:: IP based masters with disabled ports will not show "
                              "devices if `auto` if off.\n")
        assert doc.endswith("        gui (bool): print outputs for GUI\n    ")
        assert "            * 'ETH': Ethernet and WiFi based masters only\n" in doc
        assert TessadynChecker.abort.__doc__ == "Abort running check"
        assert TessadynChecker.isRunning.__doc__ == "Is checker running?"

    def test_arguments_by_keyword(self, tc, out):
        assert tc._get_text(default="d", val="") == "d"
        with pytest.raises(TypeError, match=r"_discover\(\) missing 2 required positional "
                                            r"arguments: 'address' and 'found'"):
            tc._discover(None)
        with pytest.raises(TypeError, match=r"check\(\) got an unexpected keyword argument 'x'"):
            tc.check(x=1)
        with pytest.raises(TypeError, match=r"got multiple values for argument 'address'"):
            tc.check(None, address=None)
        with pytest.raises(TypeError, match=r"takes from 0 to 6 positional arguments but 7"):
            tc.check(*range(7))
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
            tc.check(*range(7), x=1)      # keywords are checked first, as in Python
        assert tc.isRunning() is False


class TestRecursion:
    def test_check_started_from_its_own_output_is_bounded(self):
        # Recursion through C callables only: no Python frame counts it.
        result = run_python(f"""
            import functools
            from {NAME} import check, isRunning
            def again(*a): pass
            again = functools.partial(check, printFnc=None)
            again.keywords["printFnc"] = again
            try:
                check(printFnc=again)
            except RecursionError:
                print("bounded", isRunning())
        """)
        assert result.stdout == "bounded False\n", result.stderr[-2000:]


class TestLoading:
    def test_same_module_object_and_load_code_runs_once(self):
        result = run_python(f"""
            import sys, importlib
            import {NAME} as first
            first._state.abort = "kept"
            del sys.modules["{NAME}"]
            second = importlib.import_module("{NAME}")
            assert second is first and second._state.abort == "kept", second._state.abort
            print("ok")
        """)
        assert result.stdout == "ok\n", result.stderr

    def test_base_version_falls_back_to_ours(self, tmp_path):
        result = run_python(f"from {NAME} import __baseversion__; print(__baseversion__)", tmp_path)
        assert result.stdout == "1.9.2\n", result.stderr

    def test_main_program_runs_one_check(self, tmp_path):
        result = run_python(f"""
            import importlib.util, sys
            spec = importlib.util.find_spec("{NAME}")
            module = importlib.util.module_from_spec(spec)
            module.__name__ = "__main__"
            spec.loader.exec_module(module)
            assert sys.modules["{NAME}"] is module
        """, tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout == ("Velmora Tessadyn Checker 1.9.2: searching masters and devices...\n"
                                 "0 master(s) and 0 device(s) found\n"
                                 "Visit https://www.velmora.com for more informations\n")

    def test_second_interpreter_is_refused(self):
        result = run_python(f"""
            import _interpreters
            import {NAME}
            interp = _interpreters.create(_interpreters.new_config("legacy"))
            code = '''
            try:
                import {NAME}
            except ImportError as error:
                print("refused:", error)
            '''
            _interpreters.run_string(interp, code)
        """)
        assert result.stdout == ("refused: Interpreter change detected - this module can only be "
                                 "loaded into one interpreter per process.\n"), result.stderr

    def test_failed_load_is_retried_from_the_start(self):
        result = run_python(f"""
            import builtins, sys
            saved = builtins.print
            del builtins.print
            try:
                import {NAME}
            except NameError as error:
                message = str(error)
            builtins.print = saved
            assert "{NAME}" not in sys.modules
            sys.modules["dict2obj"] = None
            try:
                import {NAME}
            except ImportError:
                pass
            del sys.modules["dict2obj"]
            import {NAME} as module
            print(message, module.isRunning())
        """)
        assert result.stdout == "name 'print' is not defined False\n", result.stderr
