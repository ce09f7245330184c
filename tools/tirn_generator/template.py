"""The templates every generated text is made of.

Every text the tool writes comes from templates: one per kind of generated file, and one per
repeated piece of a file (a class per enumeration, a method per operation...). The generation
code computes the pieces and fills the templates with them. A template holds its text exactly,
blank lines included: a piece that comes after a blank line starts with an empty line.
"""

import string
import sys

# The tool as every generated text names its maker.
TOOL = "tools/tirn_generate.py"


class TemplateError(Exception):
    """A template and the pieces given to it do not match: a fault of this tool, never of a
    description."""


class Template(string.Template):
    """A text with $name (or ${name}) placeholders. Filling it takes exactly the pieces it
    names: one left out or one never used is an error, not a gap or a silent drop in the
    output; a '$' that starts no placeholder is an error as soon as the template is made."""

    def __init__(self, text):
        super().__init__(text)
        self.placeholders = set()
        for match in self.pattern.finditer(text):
            if match.group("invalid") is not None:
                line = text.count("\n", 0, match.start()) + 1
                raise TemplateError(f"a '$' that starts no placeholder on line {line} of "
                                    f"{self.label()}")
            name = match.group("named") or match.group("braced")
            if name:
                self.placeholders.add(name)

    def label(self):
        """The template's name in the generator's modules, for the messages of its faults."""
        for module in list(sys.modules.values()):
            if getattr(module, "__name__", "").startswith(__package__ + "."):
                for name, value in vars(module).items():
                    if value is self:
                        return name
        return f"the template {self.template.strip().splitlines()[0][:60]!r}"

    def fill(self, **pieces):
        missing = sorted(self.placeholders - pieces.keys())
        unused = sorted(pieces.keys() - self.placeholders)
        if missing:
            raise TemplateError(f"{self.label()} needs {', '.join(missing)}")
        if unused:
            raise TemplateError(f"{self.label()} has no place for {', '.join(unused)}")
        return self.substitute(pieces)
