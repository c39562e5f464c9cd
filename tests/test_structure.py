"""The package's structure: an analysis is a plan that no runner is written
into, runners know no analysis, and no module imports itself back through
another (every import counts, at module level or inside a function)."""

import ast
import pathlib

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "src" / "lumetra"
PLANS = {"_bias", "_performance", "_drift", "_groups", "_outcome", "_feed", "_plan"}
RUNNERS = {"_eager", "_dask", "_runners"}


def nodes(tree):
    """Every node but those under `if TYPE_CHECKING:` (imports for type hints only)."""
    for node in ast.iter_child_nodes(tree):
        if isinstance(node, ast.If) and isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
            continue
        yield node
        yield from nodes(node)


def imports():
    """module -> the package's modules it imports, and whether it imports Dask."""
    graph, dask = {}, set()
    for path in PACKAGE.glob("*.py"):
        module = path.stem
        graph[module] = set()
        for node in nodes(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                graph[module].update([node.module] if node.module else [a.name for a in node.names])
            elif isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("lumetra."):
                graph[module].add(node.module.split(".")[1])
            elif isinstance(node, ast.ImportFrom) and (node.module or "").split(".")[0] == "dask":
                dask.add(module)
            elif isinstance(node, ast.Import) and any(a.name.split(".")[0] == "dask" for a in node.names):
                dask.add(module)
        graph[module] &= {p.stem for p in PACKAGE.glob("*.py")} | {"_kernels"}
    return graph, dask


def test_no_module_imports_itself_back():
    graph, _ = imports()
    state = {}

    def visit(module, path):
        state[module] = "open"
        for target in sorted(graph.get(module, ())):
            assert state.get(target) != "open", " -> ".join(path + [target])
            if target not in state:
                visit(target, path + [target])
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module, [module])


def test_plans_import_no_runner_and_runners_no_analysis():
    graph, dask = imports()
    for plan in PLANS:
        assert not graph[plan] & RUNNERS, plan
        assert plan not in dask, plan
    assert not graph["_dask"] & (PLANS - {"_plan"}) and not graph["_eager"] & (PLANS - {"_plan"})
    assert dask <= {"_dask", "dask"}


def test_compiled_layers_include_only_what_is_below_them():
    # The core sees no Python; the binding framework sees only the core; the
    # two modules build on the framework and never on each other.
    import re

    src = PACKAGE.parent
    allowed = {"core": {"core"}, "binding": {"core", "binding"}, "module": {"core", "binding", "module"},
               "kernels": {"core", "binding", "kernels"}}
    wrong = []
    for layer, may in allowed.items():
        for path in sorted((src / layer).glob("*.[ch]pp")):
            for included in re.findall(r'^#include "([a-z_]+)/', path.read_text(), re.M):
                if included not in may:
                    wrong.append(f"{layer}/{path.name} includes {included}/")
    assert wrong == []
    assert not (src / "python").exists()
