"""The module and the class as the interpreter sees them."""

import gc
import shutil
import subprocess
import sys
import threading
import weakref

import pytest

import hush_vault
from hush_vault import HushVault

from conftest import run_python

METHOD_SIGNATURES = {
    "from_env": "($cls, var_name, volatile=False)",
    "verify": "($self, other)",
    "reveal": "($self)",
    "reveal_bytes": "($self)",
    "reveal_masked": "($self, suffix_len)",
    "compare": "($self, other)",
    "wipe_py": "($self)",
    "__bytes__": "($self)",
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type, _exc_value, _traceback)",
    "__getstate__": "($self)",
    "__deepcopy__": "($self, _memo)",
    "__copy__": "($self)",
}


def test_module_attributes():
    assert hush_vault.__all__ == ["HushVault"]
    assert hush_vault.__doc__ == ""
    assert hush_vault.HushVault is HushVault
    assert HushVault.__module__ == "builtins"
    assert HushVault.__name__ == HushVault.__qualname__ == "HushVault"
    assert HushVault.__text_signature__ == "(data, volatile=False, ttl_sec=None)"
    assert HushVault.__doc__ == ""


def test_method_table():
    assert set(METHOD_SIGNATURES) <= set(vars(HushVault))
    for name, signature in METHOD_SIGNATURES.items():
        method = getattr(HushVault, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name
    # from_env is a class method: bound to the class, reachable without an instance.
    assert HushVault.from_env.__self__ is HushVault
    assert type(vars(HushVault)["from_env"]).__name__ == "classmethod_descriptor"
    assert type(vars(HushVault)["verify"]).__name__ == "method_descriptor"


def test_class_shape():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (HushVault,), {})
    vault = HushVault(b"x")
    with pytest.raises(AttributeError):
        vault.anything = 1
    with pytest.raises(AttributeError):
        vault.__dict__
    with pytest.raises(TypeError):
        weakref.ref(vault)
    assert not gc.is_tracked(vault)
    with pytest.raises(TypeError, match="unhashable"):
        hash(vault)
    # The type is not immutable: class attributes can be rebound.
    HushVault.extra_attribute = 1
    del HushVault.extra_attribute


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("hush_vault")
    import hush_vault as again

    assert again is first
    assert again.__all__ == ["HushVault"]


def test_concurrent_first_imports_share_one_module():
    # The import system serialises `import` per module name, so the threads call the extension's
    # entry point directly: only the module's own once-guard keeps them to one module object.
    result = run_python(
        """
        import _imp, importlib.util, sys, threading
        spec = importlib.util.find_spec("hush_vault")
        barrier = threading.Barrier(8)
        seen = []
        def load():
            barrier.wait()
            seen.append(_imp.create_dynamic(spec))
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(seen) == 8 and all(m is seen[0] for m in seen), seen
        assert seen[0].__all__ == ["HushVault"], seen[0].__all__
        import hush_vault
        assert hush_vault is seen[0] and hush_vault.__all__ == ["HushVault"]
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


SUBINTERPRETER_IMPORT = """
import _testcapi
code = '''
try:
    import hush_vault
    result = "imported"
except ImportError as error:
    result = "ImportError: " + str(error)
open(%r, "w").write(result)
'''
"""


@pytest.mark.parametrize("main_first", [True, False])
def test_second_interpreter_is_refused(tmp_path, main_first):
    pytest.importorskip("_testcapi")
    out = tmp_path / "sub.txt"
    main_import = """
try:
    import hush_vault
    main = "imported"
except ImportError as error:
    main = "ImportError: " + str(error)
"""
    script = SUBINTERPRETER_IMPORT + f"code = code % {str(out)!r}\n"
    if main_first:
        script += main_import + "_testcapi.run_in_subinterp(code)\n"
    else:
        script += "_testcapi.run_in_subinterp(code)\n" + main_import
    script += """
print(main)
if main == "imported":
    v = hush_vault.HushVault(b"still works")
    assert v.reveal() == "still works"
"""
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    main, sub = result.stdout.strip(), out.read_text()
    # From 3.13 the interpreter runs a single-phase module's first initialisation in the main
    # interpreter, even when a sub-interpreter asked first: the main interpreter then owns it.
    owner_is_main = main_first or sys.version_info >= (3, 13)
    first, second = (main, sub) if owner_is_main else (sub, main)
    assert first == "imported"
    assert second.startswith("ImportError:") and "sub-interpreters" in second


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    symbols = subprocess.run(
        [nm, "-D", "--defined-only", hush_vault.__file__], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    names = [line.split()[-1] for line in symbols if line.strip()]
    assert names == ["PyInit_hush_vault"]


def test_errors_carry_their_message_as_single_argument():
    vault = HushVault(b"x")
    vault.wipe_py()
    with pytest.raises(ValueError) as caught:
        vault.reveal()
    assert caught.value.args == ("Vault is wiped.",)
    assert caught.value.__cause__ is None
