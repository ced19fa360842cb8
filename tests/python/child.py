"""The entry of a child interpreter (see helpers.run_in_child): runs a function of a module in this folder or
of a Python file, or a Python file as the main module, with pytest's assertion rewriting for the modules of
this folder and the files it runs, as the parent has it.

Usage: python -P child.py MODULE:FUNCTION REPR_OF_ARGS | FILE.py:FUNCTION REPR_OF_ARGS | FILE.py [ARG...]"""

import ast
import importlib.abc
import importlib.util
import os
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))


def compiled(path):
    with open(path, "rb") as f:
        source = f.read()
    tree = ast.parse(source, path)
    try:
        from _pytest.assertion.rewrite import rewrite_asserts
    except ImportError:  # an interpreter without pytest: plain asserts, which still fail the child
        pass
    else:
        rewrite_asserts(tree, source, path)
    return compile(tree, path, "exec", dont_inherit=True)


class RewritingLoader(importlib.abc.Loader):
    def __init__(self, path):
        self.path = path

    def exec_module(self, module):
        exec(compiled(self.path), module.__dict__)


class RewritingFinder(importlib.abc.MetaPathFinder):
    """Top-level modules of this folder only: the test modules and helpers, never the package under test."""

    def find_spec(self, name, path, target=None):
        file = os.path.join(HERE, f"{name}.py")
        if path is None and os.path.isfile(file):
            return importlib.util.spec_from_file_location(name, file, loader=RewritingLoader(file))
        return None


def main():
    sys.meta_path.insert(0, RewritingFinder())
    target, *args = sys.argv[1:]
    if ":" not in target:  # a file, run as the main module with its arguments
        sys.argv = [target, *args]
        module = types.ModuleType("__main__")
        module.__file__ = target
        sys.modules["__main__"] = module
        exec(compiled(target), module.__dict__)
        return
    module_name, _, qualname = target.rpartition(":")
    sys.argv = [target]
    if module_name.endswith(".py"):  # a file of another folder, or one only newer interpreters compile
        name = os.path.splitext(os.path.basename(module_name))[0]
        spec = importlib.util.spec_from_file_location(name, module_name, loader=RewritingLoader(module_name))
        function = sys.modules[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(function)
    else:
        function = importlib.import_module(module_name)
    for part in qualname.split("."):
        function = getattr(function, part)
    function(*ast.literal_eval(args[0]))


if __name__ == "__main__":
    main()
