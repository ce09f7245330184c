"""Reads a package description (a .tidl file): the parser builds the model line by line, with
the documentation comments ("/// ..." lines) of what they come before; the checker resolves the
types fields name and refuses what the bindings cannot express. Every mistake is a
DescriptionError naming the file and line."""

import re
from dataclasses import dataclass, field
from typing import List

from .model import (EXTERNAL_STRUCTURES, PRIMITIVES, STANDARD_ERRORS, DescriptionError,
                    Enumeration, Field, Operation, Package, Service, Structure, TypeRef,
                    is_structure)

CPP_KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char16_t char32_t
class compl const constexpr const_cast continue decltype default delete do double dynamic_cast
else enum explicit export extern false float for friend goto if inline int long mutable
namespace new noexcept not not_eq nullptr operator or or_eq private protected public register
reinterpret_cast return short signed sizeof static static_assert static_cast struct switch
template this thread_local throw true try typedef typeid typename union unsigned using virtual
void volatile wchar_t while xor xor_eq
""".split())

IDENTIFIER = re.compile(r"[A-Za-z][A-Za-z0-9_]*$")
TYPE_NAME = re.compile(r"[A-Z][A-Za-z0-9]*$")
WIRE_WORD = re.compile(r"[a-z][a-z0-9_]*$")
ENUMERATOR = re.compile(r"[A-Z][A-Z0-9_]*$")

# A line that starts with it documents the declaration that follows it.
DOC_MARK = "///"
DETACHED_DOC = "a documentation comment must come right before the declaration it documents"


# ---- Parsing -------------------------------------------------------------------------------

@dataclass
class PendingDoc:
    """A documentation comment read, waiting for the declaration it documents."""
    line: int
    indent: int
    lines: List[str] = field(default_factory=list)


def doc_text(lines):
    """The text of a documentation comment: its paragraphs (separated by empty comment lines),
    each on one line with its words separated by single spaces, separated by an empty line."""
    paragraphs, words = [], []
    for line in lines + [""]:
        if line.split():
            words += line.split()
        elif words:
            paragraphs.append(" ".join(words))
            words = []
    return "\n\n".join(paragraphs)


class Parser:
    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()
        self.package = Package()
        self.doc = None

    def fail(self, line, message):
        raise DescriptionError(self.path, line, message)

    def parse(self):
        # (indent, kind, object) of the open blocks.
        blocks = []
        for number, raw in enumerate(self.lines, start=1):
            if raw.lstrip().startswith(DOC_MARK):
                self.doc_line(number, raw)
                continue
            text = raw.split("#", 1)[0].rstrip()
            if not text.strip():
                if self.doc:
                    self.fail(self.doc.line, DETACHED_DOC)
                continue
            indent = self.indent(number, text)
            if self.doc and self.doc.indent != indent:
                self.fail(self.doc.line, "a documentation comment must be indented as the "
                                         "declaration it documents")
            words = text.split()
            while blocks and indent <= blocks[-1][0]:
                blocks.pop()
            parent = blocks[-1] if blocks else None
            opened = self.line(number, words, parent)
            if self.doc:
                self.fail(self.doc.line, f"'{words[0]}' takes no documentation comment: only "
                                         f"services, enumerations and their values, structures, "
                                         f"fields, operations and parameters do")
            if opened:
                blocks.append((indent,) + opened)
        if self.doc:
            self.fail(self.doc.line, DETACHED_DOC)
        if not self.package.name:
            self.fail(1, "the description declares no package")
        return self.package

    def indent(self, number, text):
        if "\t" in text[: len(text) - len(text.lstrip())]:
            self.fail(number, "indent with spaces, not tabs")
        return len(text) - len(text.lstrip(" "))

    def doc_line(self, number, raw):
        """One line of a documentation comment: "/// text", the space after the mark optional."""
        indent = self.indent(number, raw)
        if self.doc and self.doc.indent != indent:
            self.fail(number, "the lines of a documentation comment must be indented alike")
        if any(ord(c) < 32 or ord(c) == 127 for c in raw if c != "\t"):
            self.fail(number, "a documentation comment cannot hold control characters")
        if not self.doc:
            self.doc = PendingDoc(number, indent)
        self.doc.lines.append(raw.lstrip()[len(DOC_MARK):])

    def take_doc(self):
        """The text of the documentation comment before the declaration being read; "" when
        there is none."""
        doc, self.doc = self.doc, None
        if doc is None:
            return ""
        text = doc_text(doc.lines)
        if not text:
            self.fail(doc.line, "the documentation comment is empty")
        return text

    def line(self, number, words, parent):
        keyword = words[0]
        kind = parent[1] if parent else None
        owner = parent[2] if parent else None
        if kind is None:
            if keyword == "package":
                return self.package_line(number, words)
            if keyword == "structure":
                return self.structure_line(number, words, None)
            if keyword == "service":
                return self.service_line(number, words)
            self.fail(number, f"expected 'package', 'structure' or 'service', found '{keyword}'")
        if not self.package.name:
            self.fail(number, "the package must be declared first")
        if kind == "service":
            if keyword == "resource":
                return self.resource_line(number, words, owner)
            if keyword == "enumeration":
                return self.enumeration_line(number, words, owner)
            if keyword == "structure":
                return self.structure_line(number, words, owner)
            if keyword == "operation":
                return self.operation_line(number, words, owner)
            self.fail(number, f"expected 'resource', 'enumeration', 'structure' or 'operation' "
                              f"in a service, found '{keyword}'")
        if kind == "structure":
            owner.fields.append(self.field_line(number, words, allow_case=True))
            return None
        if kind == "enumeration":
            if len(words) != 1 or not ENUMERATOR.match(keyword) or keyword == "_UNKNOWN":
                self.fail(number, f"'{' '.join(words)}' is not an enumerator (UPPER_CASE)")
            if keyword in owner.values:
                self.fail(number, f"enumerator '{keyword}' is declared twice in '{owner.name}'")
            owner.values.append(keyword)
            owner.value_lines.append(number)
            owner.value_docs.append(self.take_doc())
            return None
        if kind == "operation":
            if keyword == "errors":
                if owner.errors_line:
                    self.fail(number, f"operation '{owner.name}' lists its errors twice")
                owner.errors_line = number
                for error in words[1:]:
                    if error not in STANDARD_ERRORS:
                        self.fail(number, f"'{error}' is not a standard error (one of "
                                          f"{', '.join(STANDARD_ERRORS)})")
                    if error in owner.errors:
                        self.fail(number, f"error '{error}' is listed twice")
                    owner.errors.append(error)
                return None
            owner.params.append(self.field_line(number, words, allow_case=False))
            return None
        self.fail(number, f"unexpected indentation under '{kind}'")

    def package_line(self, number, words):
        if self.package.name:
            self.fail(number, "the package is declared twice")
        if len(words) != 2 or not all(WIRE_WORD.match(p) for p in words[1].split(".")):
            self.fail(number, "expected 'package dotted.lower_case.name'")
        self.package.name = words[1]
        self.package.line = number
        return None

    def service_line(self, number, words):
        parts = words[1].split(".") if len(words) == 2 else []
        if len(parts) != 2 or not all(WIRE_WORD.match(p) for p in parts):
            self.fail(number, "expected 'service subpackage.name', e.g. 'service kms.providers'")
        for other in self.package.services:
            if (other.subpackage, other.name) == tuple(parts):
                self.fail(number, f"service '{words[1]}' is declared twice (line {other.line})")
        service = Service(number, parts[0], parts[1], doc=self.take_doc())
        self.package.services.append(service)
        return ("service", service)

    def resource_line(self, number, words, service):
        if len(words) not in (2, 3) or (len(words) == 3 and words[2] != "unpublished"):
            self.fail(number, "expected 'resource subpackage.name [unpublished]'")
        if service.resource:
            self.fail(number, f"service '{service.name}' declares a second resource")
        parts = words[1].split(".")
        if len(parts) != 2 or not all(WIRE_WORD.match(p) for p in parts):
            self.fail(number, "a resource is named 'subpackage.name', e.g. 'kms.provider'")
        service.resource = words[1]
        service.resource_published = len(words) == 2
        return None

    def check_type_name(self, number, words, what):
        if len(words) != 2 or not TYPE_NAME.match(words[1]):
            self.fail(number, f"expected '{what} UpperCamelName'")

    def enumeration_line(self, number, words, service):
        self.check_type_name(number, words, "enumeration")
        enumeration = Enumeration(number, words[1], service=service, doc=self.take_doc())
        service.enumerations.append(enumeration)
        return ("enumeration", enumeration)

    def structure_line(self, number, words, service):
        self.check_type_name(number, words, "structure")
        structure = Structure(number, words[1], service=service, doc=self.take_doc())
        (service.structures if service else self.package.structures).append(structure)
        return ("structure", structure)

    def operation_line(self, number, words, service):
        if len(words) < 4 or words[2] != "->" or not WIRE_WORD.match(words[1]):
            self.fail(number, "expected 'operation name -> result', e.g. 'operation get -> Info'")
        for other in service.operations:
            if other.name == words[1]:
                self.fail(number, f"operation '{words[1]}' is declared twice (line {other.line})")
        result = self.type_words(number, words[3:])
        operation = Operation(number, words[1], result, doc=self.take_doc())
        service.operations.append(operation)
        return ("operation", operation)

    def type_words(self, number, words):
        words = list(words)
        ref = TypeRef(number)
        if words == ["void"]:
            ref.base = "void"
            return ref
        if words and words[0] == "optional":
            ref.optional = True
            words.pop(0)
        if words and words[0] in ("list", "set"):
            ref.container = words.pop(0)
        if not words:
            self.fail(number, "a type is missing")
        if words[0] == "id":
            if len(words) != 2:
                self.fail(number, "expected 'id subpackage.resource'")
            ref.base, ref.resource = "id", words[1]
            return ref
        if len(words) != 1:
            self.fail(number, f"cannot read the type '{' '.join(words)}'")
        ref.base = words[0]
        if ref.base in ("optional", "list", "set", "void"):
            self.fail(number, f"'{ref.base}' cannot be used there")
        return ref

    def field_line(self, number, words, allow_case):
        if not words[0].endswith(":") or len(words) < 2:
            self.fail(number, "expected 'name: type'")
        name = words[0][:-1]
        if not IDENTIFIER.match(name) or name in CPP_KEYWORDS:
            self.fail(number, f"'{name}' cannot be a field name")
        rest = words[1:]
        case_tag, case_values = None, []
        if "case" in rest:
            if not allow_case:
                self.fail(number, "only structure fields can be union cases")
            at = rest.index("case")
            if len(rest) < at + 3:
                self.fail(number, "expected 'case tag_field VALUE...'")
            case_tag, case_values = rest[at + 1], rest[at + 2:]
            rest = rest[:at]
        return Field(number, name, self.type_words(number, rest), case_tag, case_values,
                     self.take_doc())


# ---- Checking ------------------------------------------------------------------------------

class Checker:
    def __init__(self, path, package):
        self.path = path
        self.package = package

    def fail(self, line, message):
        raise DescriptionError(self.path, line, message)

    def check(self):
        package = self.package
        resources = {}
        for service in package.services:
            if service.resource:
                resources[service.resource] = service
        self.check_unique_types(package.structures, [], None)
        for service in package.services:
            self.check_unique_types(service.structures, service.enumerations, service)
            for enumeration in service.enumerations:
                if not enumeration.values:
                    self.fail(enumeration.line, f"enumeration '{enumeration.name}' has no values")
        for structure in package.structures:
            self.check_structure(structure, None, resources)
        for service in package.services:
            if not service.operations:
                self.fail(service.line, f"service '{service.name}' has no operations")
            for structure in service.structures:
                self.check_structure(structure, service, resources)
            for operation in service.operations:
                self.check_operation(operation, service, resources)

    def check_unique_types(self, structures, enumerations, service):
        seen = {}
        for item in list(structures) + list(enumerations):
            if item.name in seen:
                self.fail(item.line, f"'{item.name}' is declared twice (line {seen[item.name]})")
            if item.name in EXTERNAL_STRUCTURES:
                self.fail(item.line, f"'{item.name}' is a standard structure and cannot be redeclared")
            seen[item.name] = item.line
        if service is not None:
            for name in ("AsyncServiceInterface", "AsyncServiceStub", "AsyncServiceBinder",
                         "AsyncServiceBinderHelper", "Constants"):
                if name in seen:
                    self.fail(seen[name], f"'{name}' is a generated name and cannot be declared")

    def resolve(self, ref, service, resources):
        if ref.base == "void":
            return
        if ref.base == "id":
            if ref.resource not in resources:
                self.fail(ref.line, f"unknown resource '{ref.resource}' (no service declares it)")
            ref.target = "id"
            return
        if ref.base in PRIMITIVES:
            ref.target = ref.base
            return
        scopes = []
        if service is not None:
            scopes.append(service.structures + service.enumerations)
        scopes.append(self.package.structures)
        for scope in scopes:
            for item in scope:
                if item.name == ref.base:
                    ref.target = item
                    break
            if ref.target is not None:
                break
        if ref.target is None and ref.base in EXTERNAL_STRUCTURES:
            ref.target = "external"
        if ref.target is None:
            self.fail(ref.line, f"unknown type '{ref.base}'")
        if ref.container == "set" and is_structure(ref):
            self.fail(ref.line, "a set of structures is not supported; use a list")

    def check_fields(self, fields, owner, service, resources):
        seen = {}
        for item in fields:
            if item.name in seen:
                self.fail(item.line, f"field '{item.name}' is declared twice in '{owner}' "
                                     f"(line {seen[item.name]})")
            seen[item.name] = item.line
            self.resolve(item.type, service, resources)
            if item.type.base == "void":
                self.fail(item.line, "a field cannot be void")

    def check_structure(self, structure, service, resources):
        self.check_fields(structure.fields, structure.name, service, resources)
        by_name = {f.name: f for f in structure.fields}
        for item in structure.fields:
            if item.case_tag is None:
                continue
            if not (item.type.optional and item.type.container is None and is_structure(item.type)):
                self.fail(item.line, f"union case '{item.name}' must be an optional structure")
            tag = by_name.get(item.case_tag)
            if tag is None:
                self.fail(item.line, f"union case '{item.name}' names the tag '{item.case_tag}', "
                                     f"which is not a field of '{structure.name}'")
            if tag.case_tag is not None or tag.type.container is not None or \
                    not isinstance(tag.type.target, Enumeration):
                self.fail(item.line, f"the tag '{item.case_tag}' of union case '{item.name}' is "
                                     f"not an enumeration field")
            for value in item.case_values:
                if value not in tag.type.target.values:
                    self.fail(item.line, f"'{value}' is not a value of '{tag.type.target.name}'")

    def check_operation(self, operation, service, resources):
        self.check_fields(operation.params, operation.name, service, resources)
        for param in operation.params:
            if param.type.base == "id":
                self.fail(param.line, "operation parameters carry identifiers as plain strings")
        result = operation.result
        self.resolve(result, service, resources)
        if result.optional or result.container == "set":
            self.fail(result.line, "an operation returns void, a primitive, a structure or a "
                                   "list of structures")
        if not operation.errors_line:
            self.fail(operation.line, f"operation '{operation.name}' declares no errors")


def load(path):
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    package = Parser(path, text).parse()
    Checker(path, package).check()
    return package
