"""The command line's parser as the reference renders it.

sphinx-argparse reads each help text as reStructuredText, where the glob of
a help text such as 'run*/*.spa' starts an emphasis that never ends.  The
parser is the command's own; only its help texts have such characters
escaped, so that the page shows them as `-h` does."""

import argparse

from quorinreader import _cli

_MARKUP = str.maketrans({"*": r"\*", "`": r"\`", "|": r"\|"})


def _escaped(parser):
    for action in parser._actions:
        if action.help and action.help is not argparse.SUPPRESS:
            action.help = action.help.translate(_MARKUP)
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                _escaped(sub)
            for choice in action._choices_actions:
                if choice.help:
                    choice.help = choice.help.translate(_MARKUP)
    if parser.description:
        parser.description = parser.description.translate(_MARKUP)
    return parser


def parser():
    """The command's parser, its help texts escaped for reStructuredText."""
    return _escaped(_cli._parser())
