"""Sphinx configuration of the lumetra documentation (builds offline)."""

from __future__ import annotations

import os
import sys

project = "lumetra"
author = "the lumetra developers"
copyright = "the lumetra developers"

extensions = ["autoapi.extension", "sphinx.ext.napoleon"]

# API pages come from the sources, read statically: the type stub of the
# compiled engine and the Python package. Only the :names: role imports the
# installed package, for the names the engine defines (the test command
# builds the docs after installing it).
autoapi_type = "python"
autoapi_dirs = [os.path.join(os.path.dirname(__file__), "..", "src")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_ignore = ["*/__main__.py", "*/core/*", "*/binding/*", "*/module/*"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-module-summary", "imported-members"]
autoapi_python_class_content = "both"

html_theme = "furo"
html_title = "lumetra"
html_static_path = ["_static"]
html_show_sourcelink = False
html_copy_source = False

# Nothing is fetched: no intersphinx inventories, and formulas are written as
# text, so no math renderer is loaded by the pages.
nitpicky = False
exclude_patterns = ["_build"]
sys.dont_write_bytecode = True


def _show_engine(app, what, name, obj, skip, options):
    # The compiled engine's module name starts with an underscore, but it is
    # public: its stub is documented; other private names stay hidden.
    if what == "module" and name == "_lumetra":
        return False
    return None


def _names_role(name, rawtext, text, lineno, inliner, options=None, content=None):
    """:names:`DRIFT_METRICS`: the names of an entry of lumetra's vocabulary,
    each as a literal, joined by commas."""
    from docutils import nodes

    from lumetra import _vocabulary

    names = getattr(_vocabulary, text, None)
    if not isinstance(names, tuple):
        message = inliner.reporter.error(f"no names {text!r} in lumetra's vocabulary", line=lineno)
        return [inliner.problematic(rawtext, rawtext, message)], [message]
    out = []
    for i, entry in enumerate(names):
        if i:
            out.append(nodes.Text(", "))
        out.append(nodes.literal(text=entry))
    return out, []


def _tolerance_table():
    """The ``.. tolerances::`` directive: each metric's default tolerance under
    the change rule, read from the package, one row per tolerance."""
    from docutils import nodes
    from docutils.parsers.rst import Directive

    from lumetra._checks import TOLERANCES

    class Tolerances(Directive):
        def run(self):
            by_text = {}
            for metric, tolerance in TOLERANCES.items():
                by_text.setdefault(tolerance.text(), []).append(metric)
            table = nodes.table()
            group = nodes.tgroup(cols=2)
            table += group
            group += [nodes.colspec(colwidth=1), nodes.colspec(colwidth=3)]
            head, body = nodes.thead(), nodes.tbody()
            group += [head, body]

            def row(cells):
                out = nodes.row()
                for cell in cells:
                    entry = nodes.entry()
                    entry += nodes.paragraph("", "", *cell)
                    out += entry
                return out

            head += row([[nodes.Text("Tolerance")], [nodes.Text("Metrics")]])
            for text, metrics in by_text.items():
                names = []
                for i, metric in enumerate(metrics):
                    names += ([nodes.Text(", ")] if i else []) + [nodes.literal(text=metric)]
                body += row([[nodes.Text(text)], names])
            return [table]

    return Tolerances


def setup(app):
    app.connect("autoapi-skip-member", _show_engine)
    app.add_role("names", _names_role)
    app.add_directive("tolerances", _tolerance_table())
