"""Sphinx configuration: API reference from veltrix.pyi, Markdown guides, executed gallery."""

import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

import stubapi  # noqa: E402

project = "veltrix"
author = "the veltrix developers"
copyright = "2026, the veltrix developers"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx_copybutton",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "tests", "examples", "gallery_pending", "Thumbs.db", ".DS_Store",
                    "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip",
                    "auto_examples/*.json"]
myst_enable_extensions = ["dollarmath", "colon_fence"]
myst_heading_anchors = 3

# The reference is read from the stub, never from an import: the stub is laid out as a
# package first (see _ext/stubapi.py) in the build's own scratch folder.
_api_src = stubapi.build(ROOT / "src" / "python" / "veltrix.pyi", HERE / "_build" / "apisrc")
autoapi_type = "python"
autoapi_dirs = [str(_api_src.parent)]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-inheritance", "special-members"]
autoapi_python_class_content = "class"
suppress_warnings = ["autoapi.python_import_resolution"]


def _skip_member(app, what, name, obj, skip, options):
    short = name.rsplit(".", 1)[-1]
    # Type aliases of the stub are spelled out on the reference's index page.
    if short.startswith("_") and not short.startswith("__"):
        return True
    # Only the protocol methods the stub documents for users (pickling, copying, NumPy).
    if short.startswith("__") and what == "method":
        return not getattr(obj, "docstring", "")
    return skip


def setup(app):
    app.connect("autoapi-skip-member", _skip_member)


sphinx_gallery_conf = {
    "examples_dirs": str(HERE / "examples"),
    "gallery_dirs": str(HERE / "auto_examples"),
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "abort_on_example_error": True,
    "show_memory": False,
    "plot_gallery": "True",
}
os.environ.setdefault("MPLBACKEND", "Agg")

html_theme = "pydata_sphinx_theme"
html_title = "veltrix"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_static_path = []
html_show_sourcelink = False
copybutton_prompt_text = r">>> |\.\.\. "
copybutton_prompt_is_regexp = True
