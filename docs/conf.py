"""The documentation site: Sphinx with MyST pages, an API reference from the
docstrings, and a gallery of examples executed at build time.

    python -m sphinx -W --keep-going -b html docs docs/_build/html

(.ci/docs does that from a clean clone).  The build needs no network: the
one inventory it links to, Python's, is committed under _inventories/."""

import sys
from pathlib import Path


HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "quorinreader"
author = "the quorinreader developers"
copyright = "2026, the quorinreader developers"  # noqa: A001 - Sphinx's name
try:
    from importlib.metadata import version as _version

    release = _version("quorinreader")
except Exception:  # a checkout on the path rather than an install
    release = "0.1.0"
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx.ext.intersphinx",
    "sphinx_copybutton",
    "sphinxarg.ext",
    "sphinx_gallery.gen_gallery",
    "record_fields",
    "public_names",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
templates_path = ["_templates"]
exclude_patterns = ["_build", "_templates", "gallery/README.rst", "gallery/*.py", "auto_gallery/*.ipynb",
                    "auto_gallery/*.py", "auto_gallery/*.zip", "auto_gallery/*.md5",
                    "auto_gallery/*.json"]
nitpicky = True
# Names the reference cannot link: NumPy's, xarray's, pandas' and Dask's
# inventories are not kept here (the build fetches nothing), and the
# typing module's aliases that the signatures spell out.
nitpick_ignore_regex = [
    ("py:.*", r"(numpy|npt|xarray|pandas|dask|distributed|fsspec|matplotlib)(\..*)?"),
    ("py:.*", r"(NDArray|ArrayLike|DTypeLike)"),
    ("py:class", r"(optional|default.*|array_like|ndarray|Dataset|DataFrame)"),
    ("py:class", r"quorinreader\._\w+\..*"),  # private helpers named in signatures
]

myst_enable_extensions = ["colon_fence", "deflist", "fieldlist", "attrs_inline"]
# The docstrings write names and code in single backquotes, as Markdown does:
# shown as code, not as the title references of reStructuredText's default.
default_role = "literal"
myst_heading_anchors = 3

# Python's own inventory, from Debian's python3-doc (the PSF licence allows
# copies), committed so that nothing is fetched.
intersphinx_mapping = {"python": ("https://docs.python.org/3", str(HERE / "_inventories" / "python-3.11.inv"))}

autosummary_generate = True
autosummary_imported_members = True
autodoc_default_options = {"members": True, "member-order": "bysource", "special-members": "__len__"}
autodoc_typehints = "none"  # the docstrings give the types; signatures stay short
autodoc_preserve_defaults = True
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# numpydoc's own check of each docstring runs in docs/check_docstrings.py,
# where it can report now and fail later, rather than as build warnings.
numpydoc_validation_checks = set()

html_theme = "pydata_sphinx_theme"
html_title = f"quorinreader {release}"
html_static_path = ["_static"]
html_css_files = ["site.css"]
html_show_sourcelink = False
html_theme_options = {
    "navbar_align": "left",
    "header_links_before_dropdown": 7,
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "secondary_sidebar_items": ["page-toc"],
    "show_prev_next": True,
}
html_sidebars = {"index": [], "getting-started": [], "changelog": []}

copybutton_prompt_text = r"\$ |>>> "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = False

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_gallery",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"(^|[/\\])_\w+\.py$",  # helpers of the examples, such as _workspace.py
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",  # plot_1_... first
    "abort_on_example_error": True,
    "show_memory": False,
    "matplotlib_animations": False,
    "min_reported_time": 1,
}

# Classes that only the package makes: their constructors' parameters are
# its own, so the reference shows none.
MADE_BY_THE_PACKAGE = {"quorinreader.spectra.Spectra", "quorinreader.spectra.Collection",
                       "quorinreader.spectra.Map"}


def _no_private_signature(app, what, name, obj, options, signature, return_annotation):
    if what == "class" and name in MADE_BY_THE_PACKAGE:
        return "", None
    return None


def setup(app):
    app.connect("autodoc-process-signature", _no_private_signature)
