#!/usr/bin/env python3
"""Generates the C++ bindings of an API package from its declarative description.

The description (a .tidl file) declares the package once: its shared structures and, per
service, the published resource type, enumerations, structures (fields in declaration order,
union tags and cases) and operations (parameters, result and declared standard errors, in
slot order). This tool applies the naming rules (canonical wire names, metadata names,
namespaces, sorted known-name arrays, string tables, union annotations) and writes, per
service, its types, operation descriptors and service interface, client stub, server binder
and structure metadata.

  tirn_generate.py DESCRIPTION --output DIR     write the sources (only files that change)
  tirn_generate.py DESCRIPTION --list           print the files it would write
  tirn_generate.py DESCRIPTION --check          validate the description only

A mistake in the description is reported as "FILE:LINE: error: MESSAGE" and the tool exits
with status 1 without writing anything.

Only the Python standard library is used.
"""

import argparse
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Dict, List, Optional

TOOL = "tools/tirn_generate.py"

# The standard errors an operation may declare.
STANDARD_ERRORS = [
    "AlreadyExists", "Error", "InvalidArgument", "NotAllowedInCurrentState", "NotFound",
    "UnableToAllocateResource", "Unauthenticated", "Unauthorized", "Unsupported",
]

# Wire kinds of the description and their native member types.
PRIMITIVES = {
    "string": "std::string",
    "int64": "long long",
    "boolean": "bool",
    "secret": "::Tirn::SecretString",
}

# Structures of the standard bindings that descriptions may name.
EXTERNAL_STRUCTURES = {
    "LocalizableMessage": "::Com::Ostrel::Tirn::Std::LocalizableMessage",
}

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


class DescriptionError(Exception):
    def __init__(self, path, line, message):
        super().__init__(f"{path}:{line}: error: {message}")


# ---- Model ---------------------------------------------------------------------------------

@dataclass(eq=False)
class TypeRef:
    line: int
    optional: bool = False
    container: Optional[str] = None   # "list", "set" or None
    base: str = ""                    # primitive word, "id", or a type name
    resource: Optional[str] = None    # for "id": the resource, e.g. "kms.provider"
    target: object = None             # resolved Structure / Enumeration / "external"


@dataclass(eq=False)
class Field:
    line: int
    name: str
    type: TypeRef
    case_tag: Optional[str] = None
    case_values: List[str] = field(default_factory=list)


@dataclass(eq=False)
class Structure:
    line: int
    name: str
    fields: List[Field] = field(default_factory=list)
    service: Optional["Service"] = None

    def wire_name(self, package):
        scope = self.service.identifier(package) if self.service else package
        return f"{scope}.{snake_case(self.name)}"


@dataclass(eq=False)
class Enumeration:
    line: int
    name: str
    values: List[str] = field(default_factory=list)
    value_lines: List[int] = field(default_factory=list)
    service: Optional["Service"] = None


@dataclass(eq=False)
class Operation:
    line: int
    name: str
    result: TypeRef
    params: List[Field] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)
    errors_line: int = 0


@dataclass(eq=False)
class Service:
    line: int
    subpackage: str
    name: str
    resource: Optional[str] = None
    resource_published: bool = True
    structures: List[Structure] = field(default_factory=list)
    enumerations: List[Enumeration] = field(default_factory=list)
    operations: List[Operation] = field(default_factory=list)

    def identifier(self, package):
        return f"{package}.{self.subpackage}.{self.name}"


@dataclass(eq=False)
class Package:
    name: str = ""
    line: int = 0
    structures: List[Structure] = field(default_factory=list)
    services: List[Service] = field(default_factory=list)


# ---- Naming rules --------------------------------------------------------------------------

def snake_case(name):
    """NativeProviderCreateSpec -> native_provider_create_spec, X509CertChain -> x509_cert_chain."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).lower()


def camel_case(word):
    """native_info -> NativeInfo, providers -> Providers."""
    return "".join(part[:1].upper() + part[1:] for part in word.split("_"))


def namespace_parts(package):
    return [camel_case(part) for part in package.split(".")]


def service_namespace(service):
    return [camel_case(service.subpackage), camel_case(service.name) + "Svc"]


# ---- Parsing -------------------------------------------------------------------------------

class Parser:
    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()
        self.package = Package()

    def fail(self, line, message):
        raise DescriptionError(self.path, line, message)

    def parse(self):
        # (indent, kind, object) of the open blocks.
        blocks = []
        for number, raw in enumerate(self.lines, start=1):
            text = raw.split("#", 1)[0].rstrip()
            if not text.strip():
                continue
            if "\t" in text[: len(text) - len(text.lstrip())]:
                self.fail(number, "indent with spaces, not tabs")
            indent = len(text) - len(text.lstrip(" "))
            words = text.split()
            while blocks and indent <= blocks[-1][0]:
                blocks.pop()
            parent = blocks[-1] if blocks else None
            opened = self.line(number, words, parent)
            if opened:
                blocks.append((indent,) + opened)
        if not self.package.name:
            self.fail(1, "the description declares no package")
        return self.package

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
        service = Service(number, parts[0], parts[1])
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
        enumeration = Enumeration(number, words[1], service=service)
        service.enumerations.append(enumeration)
        return ("enumeration", enumeration)

    def structure_line(self, number, words, service):
        self.check_type_name(number, words, "structure")
        structure = Structure(number, words[1], service=service)
        (service.structures if service else self.package.structures).append(structure)
        return ("structure", structure)

    def operation_line(self, number, words, service):
        if len(words) < 4 or words[2] != "->" or not WIRE_WORD.match(words[1]):
            self.fail(number, "expected 'operation name -> result', e.g. 'operation get -> Info'")
        for other in service.operations:
            if other.name == words[1]:
                self.fail(number, f"operation '{words[1]}' is declared twice (line {other.line})")
        result = self.type_words(number, words[3:])
        operation = Operation(number, words[1], result)
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
        return Field(number, name, self.type_words(number, rest), case_tag, case_values)


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


def is_structure(ref):
    return isinstance(ref.target, Structure) or ref.target == "external"


# ---- C++ types -----------------------------------------------------------------------------

class Names:
    """Spells native types as seen from inside a service namespace (or the package's)."""

    def __init__(self, package, service):
        self.package = package
        self.service = service

    def qualified(self, item):
        parts = namespace_parts(self.package.name)
        if item.service is not None:
            parts += service_namespace(item.service)
        return "::" + "::".join(parts + [item.name])

    def type_name(self, item):
        if item == "external":
            raise AssertionError("external types are spelled by base name")
        if item.service is not None and item.service is self.service:
            return item.name
        if item.service is None and self.service is None:
            return item.name
        return self.qualified(item)

    def element(self, ref):
        """The native type of one element (or of a required member)."""
        if ref.target == "id":
            return "std::string"
        if ref.target in PRIMITIVES:
            return PRIMITIVES[ref.target]
        if ref.target == "external":
            return f"std::shared_ptr<{EXTERNAL_STRUCTURES[ref.base]} const>"
        if isinstance(ref.target, Structure):
            return f"std::shared_ptr<{self.type_name(ref.target)} const>"
        return self.type_name(ref.target)

    def member(self, ref):
        if ref.container is None:
            if ref.optional and is_structure(ref):
                inner = (EXTERNAL_STRUCTURES[ref.base] if ref.target == "external"
                         else self.type_name(ref.target))
                return f"::Tirn::OptionalPtr<{inner} const>"
            inner = self.element(ref)
        else:
            inner = f"std::{ref.container}<{self.element(ref)}>"
        return f"boost::optional<{inner}>" if ref.optional else inner

    def result(self, ref):
        if ref.base == "void":
            return "::Tirn::Void"
        return self.member(ref)

    def initializer(self, ref):
        if ref.container is None and not ref.optional:
            if ref.target == "int64":
                return " = 0"
            if ref.target == "boolean":
                return " = false"
        return ""


# ---- Output helpers ------------------------------------------------------------------------

def banner(description):
    return (f"// Generated by {TOOL} from {description}.\n"
            f"// Do not edit: change the description and rebuild.\n")


def guard(path):
    return re.sub(r"[^A-Za-z0-9]", "_", path).upper() + "_"


def open_namespaces(parts):
    return "".join(f"namespace {part} {{\n" for part in parts)


def close_namespaces(parts):
    return "".join(f"}}  // namespace {part}\n" for part in reversed(parts))


def header(path, description, purpose, includes, body):
    lines = [banner(description), f"//\n// {purpose}\n", f"#ifndef {guard(path)}\n",
             f"#define {guard(path)}\n\n"]
    system = sorted(i for i in includes if i.startswith("<"))
    local = sorted(i for i in includes if not i.startswith("<"))
    for group in (system, local):
        if group:
            lines += [f"#include {i}\n" for i in group]
            lines.append("\n")
    lines.append(body)
    # Exactly one blank line before the guard's end, whatever the body ends with.
    return "".join(lines).rstrip("\n") + f"\n\n#endif  // {guard(path)}\n"


def source(description, includes, body):
    lines = [banner(description), "\n"]
    lines += [f"#include {i}\n" for i in includes]
    lines.append("\n")
    lines.append(body)
    return "".join(lines)


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


# ---- Generation ----------------------------------------------------------------------------

class Generator:
    def __init__(self, package, description):
        self.package = package
        self.description = description
        self.root = "/".join(package.name.split("."))
        # The package's own export macro: a second package never borrows the first's.
        self.export = "_".join(package.name.upper().split(".")) + "_EXPORT"
        self.files = {}

    def emit(self, path, text):
        self.files[f"{self.root}/{path}"] = text

    def run(self):
        self.types_files(None, self.package.structures, [], "types")
        for service in self.package.services:
            directory = f"{service.subpackage}/{service.name}"
            self.types_files(service, service.structures, service.enumerations,
                             f"{directory}/types")
            self.service_files(service, directory)
            self.stub_files(service, directory)
            self.binder_files(service, directory)
            self.metadata_files(service, directory)
        self.operations_files()
        self.export_file()
        self.umbrella()
        return self.files

    def export_file(self):
        self.emit("export.h", header(
            f"{self.root}/export.h", self.description,
            f"The symbols of the package's library: built with hidden visibility, a declaration\n"
            f"// marked {self.export} is exported.", set(),
            f"#define {self.export} __attribute__((visibility(\"default\")))\n"))

    def api_page(self):
        """A Markdown page of every service of the package: its C++ namespace, each operation's
        stub calls (with a handle, and returning a future), its result and declared errors, and
        the fields of every structure."""
        package = self.package.name
        lines = [f"# The package `{package}`", "",
                 f"Generated by `tools/tirn_generate.py` from `{self.description}`; do not edit.",
                 "Every stub call exists in two forms: one that takes a result handle (any lambda",
                 "the handle accepts, see `tirn/runtime/call/async_result.h`), and one that returns a",
                 "`std::future` of a `Tirn::CallResult`. Servers implement the same signatures",
                 "of `AsyncServiceInterface` (the handle form).", ""]

        def structures(items, names):
            out = []
            for structure in items:
                out += [f"#### `{structure.name}` (`{structure.wire_name(package)}`)", "",
                        "| Field | C++ type |", "|---|---|"]
                for item in structure.fields:
                    case = (f" (when `{item.case_tag}` is {', '.join(item.case_values)})"
                            if item.case_tag else "")
                    out.append(f"| `{item.name}`{case} | `{names.member(item.type)}` |")
                out.append("")
            return out

        for service in self.package.services:
            names = Names(self.package, service)
            namespace = "::".join(self.namespaces(service))
            lines += [f"## `{service.subpackage}.{service.name}`", "",
                      f"Interface `{service.identifier(package)}`; C++ namespace `{namespace}`;",
                      f"header `{self.root}/{service.subpackage}/{service.name}/stub.h`.", ""]
            for operation in service.operations:
                errors = ", ".join(f"`{e}`" for e in operation.errors) or "none"
                lines += [f"### `{operation.name}`", "", "```cpp",
                          f"void {self.signature(operation, names)};",
                          f"{self.future_signature(operation, names, True)};", "```", "",
                          f"Result: `{names.result(operation.result)}`. "
                          f"Declared errors: {errors}.", ""]
            for enumeration in service.enumerations:
                lines += [f"#### enumeration `{enumeration.name}`", "",
                          ", ".join(f"`{v}`" for v in enumeration.values), ""]
            lines += structures(service.structures, names)
        if self.package.structures:
            lines += ["## Shared structures", ""]
            lines += structures(self.package.structures, Names(self.package, None))
        return "\n".join(lines).rstrip() + "\n"

    # -- Structures and enumerations --

    def namespaces(self, service):
        parts = namespace_parts(self.package.name)
        return parts + (service_namespace(service) if service else [])

    def types_files(self, service, structures, enumerations, stem):
        names = Names(self.package, service)
        scope = service.identifier(self.package.name) if service else self.package.name
        includes = {"<array>", "<cstdint>", "<iosfwd>", "<list>", "<memory>", "<set>", "<string>",
                    "<boost/optional/optional.hpp>", "<boost/utility/string_view.hpp>",
                    '"tirn/data/base_native.h"', '"tirn/data/enumeration.h"',
                    '"tirn/data/instantiation.h"', '"tirn/data/native_equal.h"',
                    '"tirn/data/type_info.h"', f'"{self.root}/export.h"',
                    '"tirn/runtime/value/optional_ptr.h"', '"tirn/runtime/value/secret_string.h"',
                    '"tirn/runtime/value/data_value.h"'}
        if service is not None:
            includes.add(f'"{self.root}/types.h"')
        if any(f.type.target == "external" for s in structures for f in s.fields):
            includes.add('"tirn/std/localizable_message.h"')
        body = [open_namespaces(self.namespaces(service))]
        if service is not None and service.resource and service.resource_published:
            body.append("\nnamespace Constants {\n"
                        "// The resource type of this service's identifiers.\n"
                        f"{self.export} extern char const RESOURCE_TYPE[];\n"
                        "}  // namespace Constants\n")
        for enumeration in enumerations:
            body.append(self.enumeration_class(enumeration))
        if structures:
            body.append("\n" + "".join(self.struct_declaration(s) for s in structures))
        for structure in structures:
            body.append(self.annotations(structure))
            body.append(self.struct_class(structure, names))
        body.append("\n" + close_namespaces(self.namespaces(service)))
        body.append("\nnamespace Tirn {\nnamespace Data {\n")
        for enumeration in enumerations:
            qualified = names.qualified(enumeration)
            body.append(f"\ntemplate <>\nstruct {self.export} TypeInfo<{qualified}> {{\n"
                        f"  static std::string const& name();\n}};\n")
        for structure in structures:
            qualified = names.qualified(structure)
            body.append(f"\ntemplate <>\nstruct {self.export} TypeInfo<{qualified}> {{\n"
                        f"  static std::string const& name();\n"
                        f"  // A new default-constructed object; the value is ignored.\n"
                        f"  static std::shared_ptr<{qualified}> defaultInstance(\n"
                        f"      DataValuePtr const& value);\n}};\n")
        body.append("\n}  // namespace Data\n}  // namespace Tirn\n\n")
        for structure in structures:
            body.append(f"TIRN_DECLARE_ROUTINES({names.qualified(structure).lstrip(':')})\n")
        what = (f"Structures and enumerations of the service {scope}."
                if service else f"The shared structures of the package {scope}.")
        self.emit(f"{stem}.h", header(f"{self.root}/{stem}.h", self.description, what,
                                      includes, "".join(body)))

        src = [open_namespaces(self.namespaces(service))]
        if service is not None and service.resource and service.resource_published:
            resource = f"{self.package.name}.{service.resource}"
            src.append(f"\nnamespace Constants {{\nchar const RESOURCE_TYPE[] = {quote(resource)};\n"
                       f"}}  // namespace Constants\n")
        for structure in structures:
            src.append(self.struct_equality(structure))
        src.append("\n" + close_namespaces(self.namespaces(service)))
        src.append("\nnamespace Tirn {\nnamespace Data {\n")
        for enumeration in enumerations:
            qualified = names.qualified(enumeration)
            wire = f"{scope}.{snake_case(enumeration.name)}"
            src.append(f"\nstd::string const& TypeInfo<{qualified}>::name() {{\n"
                       f"  static std::string const kName = {quote(wire)};\n  return kName;\n}}\n")
        for structure in structures:
            qualified = names.qualified(structure)
            src.append(f"\nstd::string const& TypeInfo<{qualified}>::name() {{\n"
                       f"  static std::string const kName = "
                       f"{quote(structure.wire_name(self.package.name))};\n  return kName;\n}}\n"
                       f"\nstd::shared_ptr<{qualified}> TypeInfo<{qualified}>::defaultInstance(\n"
                       f"    DataValuePtr const&) {{\n"
                       f"  return std::make_shared<{qualified}>();\n}}\n")
        src.append("\n}  // namespace Data\n}  // namespace Tirn\n\n")
        for structure in structures:
            src.append(f"TIRN_DEFINE_ROUTINES({names.qualified(structure).lstrip(':')})\n")
        self.emit(f"{stem}.cc", source(self.description, [f'"{self.root}/{stem}.h"',
                                                          '"tirn/data/print_native.h"'],
                                       "".join(src)))

    def enumeration_class(self, enumeration):
        values = enumeration.values + ["_UNKNOWN"]
        enumerators = ",\n".join(f"    {v} = {i}" for i, v in enumerate(values))
        strings = ", ".join(quote(v) for v in values)
        return (f"\n// Enumeration {enumeration.name}: {', '.join(enumeration.values)}; any other "
                f"received\n// string is _UNKNOWN and is kept to be sent back unchanged.\n"
                f"class {self.export} {enumeration.name} {{\n public:\n"
                f"  enum Enum : std::int32_t {{\n{enumerators},\n  }};\n"
                f"  struct Strings {{\n"
                f"    static constexpr char const* values[] = {{{strings}, nullptr}};\n  }};\n\n"
                f"  {enumeration.name}() = default;\n"
                f"  {enumeration.name}(Enum value, std::string unknownValue = {{}})  "
                f"// NOLINT: enumerators convert\n"
                f"      : value_(value), unknownValue_(std::move(unknownValue)) {{}}\n\n"
                f"  Enum value() const {{ return value_; }}\n"
                f"  // The received string when the value is _UNKNOWN (may be empty).\n"
                f"  std::string const& unknownValue() const {{ return unknownValue_; }}\n\n"
                f"  friend bool operator==({enumeration.name} const& a, {enumeration.name} const& b) {{\n"
                f"    return a.value_ == b.value_ && a.unknownValue_ == b.unknownValue_;\n  }}\n"
                f"  friend bool operator!=({enumeration.name} const& a, {enumeration.name} const& b) {{\n"
                f"    return !(a == b);\n  }}\n"
                f"  friend bool operator<({enumeration.name} const& a, {enumeration.name} const& b) {{\n"
                f"    return a.value_ != b.value_ ? a.value_ < b.value_ "
                f": a.unknownValue_ < b.unknownValue_;\n  }}\n\n"
                f" private:\n  Enum value_ = _UNKNOWN;\n  std::string unknownValue_;\n}};\n")

    def struct_declaration(self, structure):
        return f"struct {structure.name};\n"

    def annotations(self, structure):
        tags = []
        for item in structure.fields:
            if item.case_tag and item.case_tag not in tags:
                tags.append(item.case_tag)
        if not tags:
            return ""
        out = [f"\n// Union annotations of {structure.name}.\n"
               f"namespace {structure.name}Annotations {{\n"
               f"struct {self.export} UnionTags {{\n  struct Strings {{\n"
               f"    static constexpr char const* values[] = "
               f"{{{', '.join(quote(t) for t in tags + ['_UNKNOWN'])}, nullptr}};\n  }};\n}};\n"]
        for item in structure.fields:
            if item.case_tag:
                out.append(f"struct {self.export} {camel_case(item.name)}UnionCases {{\n"
                           f"  struct Strings {{\n    static constexpr char const* values[] = "
                           f"{{{', '.join(quote(v) for v in item.case_values + ['_UNKNOWN'])}, "
                           f"nullptr}};\n  }};\n}};\n")
        out.append(f"}}  // namespace {structure.name}Annotations\n")
        return "".join(out)

    def struct_class(self, structure, names):
        members = []
        for item in structure.fields:
            members.append(f"  {names.member(item.type)} {item.name}{names.initializer(item.type)};\n")
        known = sorted(f.name for f in structure.fields)
        if known:
            names_decl = (f"    static constexpr boost::string_view knownNames[] = {{\n"
                          f"        {', '.join(quote(n) for n in known)}}};\n"
                          f"    static_assert(::Tirn::Data::AreNamesSorted(knownNames), "
                          f"\"known names must be sorted\");\n")
        else:
            names_decl = ("    static constexpr std::array<boost::string_view, 0> knownNames{};\n")
        visits = []
        tags = [f.case_tag for f in structure.fields if f.case_tag]
        tag_order = []
        for t in tags:
            if t not in tag_order:
                tag_order.append(t)
        for item in structure.fields:
            if item.case_tag:
                visits.append(
                    f"      compound.template UnionCase<{structure.name}Annotations::UnionTags, "
                    f"{tag_order.index(item.case_tag)},\n"
                    f"          ::Tirn::Data::UnionCaseAnyEnumValue<"
                    f"{structure.name}Annotations::{camel_case(item.name)}UnionCases>>(\n"
                    f"          {quote(item.name)}, native, &{structure.name}::{item.name});\n")
            else:
                visits.append(f"      compound.Field({quote(item.name)}, native, "
                              f"&{structure.name}::{item.name});\n")
        parameter = " native" if structure.fields else ""
        compound = " compound" if structure.fields else ""
        return (f"\n// {structure.wire_name(self.package.name)}\n"
                f"struct {self.export} {structure.name} : ::Tirn::Data::BaseNative {{\n"
                + "".join(members) +
                f"\n  // Member-wise equality, unknown fields included.\n"
                f"  friend {self.export} bool operator==({structure.name} const& a, "
                f"{structure.name} const& b);\n"
                f"  friend bool operator!=({structure.name} const& a, {structure.name} const& b) {{\n"
                f"    return !(a == b);\n  }}\n"
                f"  // Writes the structure readably on one line, secrets masked.\n"
                f"  friend {self.export} std::ostream& operator<<(std::ostream& out, "
                f"{structure.name} const& value);\n\n"
                f"  // The field list, in declaration order, for the conversion engines.\n"
                f"  struct AdapterHelper {{\n    using IsStructure = void;\n" + names_decl +
                f"    template <class H>\n"
                f"    static void AddFields(H&{compound}, {structure.name}*{parameter}) {{\n"
                + "".join(visits) + "    }\n  };\n};\n")

    def struct_equality(self, structure):
        # NativeEqual walks the field list with a work stack: recursive types compare without
        # recursion.
        return (f"\nbool operator==({structure.name} const& a, {structure.name} const& b) {{\n"
                f"  return ::Tirn::Data::NativeEqual(a, b);\n}}\n"
                f"\nstd::ostream& operator<<(std::ostream& out, {structure.name} const& value) {{\n"
                f"  return ::Tirn::Data::PrintNative(out, value);\n}}\n")

    # -- Operations and the service interface --

    def input_type(self, operation):
        return "::Tirn::OperationInput" if not operation.params else "Input"

    def service_files(self, service, directory):
        names = Names(self.package, service)
        identifier = service.identifier(self.package.name)
        includes = {"<list>", "<memory>", "<string>", '"tirn/data/instantiation.h"',
                    '"tirn/data/type_info.h"', f'"{self.root}/export.h"',
                    '"tirn/runtime/call/activation.h"', '"tirn/runtime/call/async_result.h"',
                    '"tirn/runtime/value/data_definition.h"', '"tirn/runtime/value/optional_ptr.h"',
                    '"tirn/runtime/value/void.h"', f'"{self.root}/{directory}/types.h"'}
        if any(not op.params for op in service.operations):
            includes.add('"tirn/std/operation_input.h"')
        if any(op.params for op in service.operations):
            includes.update({"<boost/utility/string_view.hpp>", '"tirn/data/enumeration.h"'})
        body = [open_namespaces(self.namespaces(service)),
                "\nclass AsyncServiceInterface;\n"]
        for operation in service.operations:
            body.append(self.method_class(operation, names))
        body.append(f"\n// The service {identifier}. Servers implement it and bind it with\n"
                    f"// AsyncServiceBinder; clients call it through AsyncServiceStub. Every "
                    f"operation reports\n// its outcome only through its result handle, "
                    f"possibly before it returns.\n"
                    f"class {self.export} AsyncServiceInterface {{\n public:\n")
        for operation in service.operations:
            body.append(f"  virtual void {self.signature(operation, names)} = 0;\n")
        body.append("  virtual ~AsyncServiceInterface();\n};\n")
        body.append("\n" + close_namespaces(self.namespaces(service)))
        ns = "::" + "::".join(self.namespaces(service))
        body.append("\nnamespace Tirn {\nnamespace Data {\n")
        body.append(f"\ntemplate <>\nstruct {self.export} TypeInfo<{ns}::AsyncServiceInterface> {{\n"
                    f"  // The interface identifier.\n  static std::string const& name();\n}};\n")
        for operation in service.operations:
            if operation.params:
                method = f"{ns}::{camel_case(operation.name)}Method"
                body.append(f"\ntemplate <>\nstruct {self.export} TypeInfo<{method}::Input> {{\n"
                            f"  // Every operation input travels under the operation-input name.\n"
                            f"  static std::string const& name();\n}};\n")
        body.append("\n}  // namespace Data\n}  // namespace Tirn\n\n")
        for operation in service.operations:
            if operation.params:
                body.append(f"TIRN_DECLARE_ROUTINES({ns.lstrip(':')}::"
                            f"{camel_case(operation.name)}Method::Input)\n")
        self.emit(f"{directory}/service.h",
                  header(f"{self.root}/{directory}/service.h", self.description,
                         f"Operation descriptors and the interface of the service {identifier}.",
                         includes, "".join(body)))

        src = [open_namespaces(self.namespaces(service))]
        src.append("\nAsyncServiceInterface::~AsyncServiceInterface() = default;\n")
        for operation in service.operations:
            src.append(self.method_definitions(operation, names))
        src.append("\n" + close_namespaces(self.namespaces(service)))
        src.append("\nnamespace Tirn {\nnamespace Data {\n")
        src.append(f"\nstd::string const& TypeInfo<{ns}::AsyncServiceInterface>::name() {{\n"
                   f"  static std::string const kName = {quote(identifier)};\n  return kName;\n}}\n")
        for operation in service.operations:
            if operation.params:
                method = f"{ns}::{camel_case(operation.name)}Method"
                src.append(f"\nstd::string const& TypeInfo<{method}::Input>::name() {{\n"
                           f"  return TypeInfo<::Tirn::OperationInput>::name();\n}}\n")
        src.append("\n}  // namespace Data\n}  // namespace Tirn\n\n")
        for operation in service.operations:
            if operation.params:
                src.append(f"TIRN_DEFINE_ROUTINES({ns.lstrip(':')}::"
                           f"{camel_case(operation.name)}Method::Input)\n")
        self.emit(f"{directory}/service.cc",
                  source(self.description, [f'"{self.root}/{directory}/service.h"',
                                            '"tirn/data/native_to_definition_adapter.h"',
                                            '"tirn/std/errors.h"', '"tirn/std/operation_input.h"'],
                         "".join(src)))

    def signature(self, operation, names, with_names=True):
        method = f"{camel_case(operation.name)}Method"
        params = [f"{names.member(p.type)} const&{' ' + p.name if with_names else ''}"
                  for p in operation.params]
        params.append("std::shared_ptr<::Tirn::Core::AsyncActivation> const&"
                      + (" activation" if with_names else ""))
        params.append(f"{method}::ResultCbType const&" + (" result" if with_names else ""))
        return f"{camel_case(operation.name)}(" + ", ".join(params) + ")"

    def future_signature(self, operation, names, declaration, scope=""):
        method = f"{camel_case(operation.name)}Method"
        params = [f"{names.member(p.type)} const& {p.name}" for p in operation.params]
        params.append("std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation"
                      + (" = nullptr" if declaration else ""))
        return (f"std::future<::Tirn::CallResult<{method}::Result>> {scope}"
                f"{camel_case(operation.name)}(" + ", ".join(params) + ")")

    def method_class(self, operation, names):
        method = f"{camel_case(operation.name)}Method"
        result = names.result(operation.result)
        out = [f"\n// Operation \"{operation.name}\".\n"
               f"struct {self.export} {method} {{\n"
               f"  using Interface = AsyncServiceInterface;\n"
               f"  using Result = {result};\n"
               f"  using ResultCbType = ::Tirn::AsyncResult<Result, "
               f"::Tirn::AsyncResultTerminateCbPolicy>;\n"]
        if operation.params:
            members = "".join(f"    {names.member(p.type)} {p.name};\n" for p in operation.params)
            visits = "".join(f"        compound.Field({quote(p.name)}, native, &Input::{p.name});\n"
                             for p in operation.params)
            out.append(f"\n  // The parameters, sent as one operation-input structure.\n"
                       f"  struct {self.export} Input {{\n"
                       f"    // Reserved for the transport; no conversion reads or writes it.\n"
                       f"    std::shared_ptr<void const> opaque;\n{members}\n"
                       f"    struct AdapterHelper {{\n      using IsStructure = void;\n"
                       f"      static constexpr boost::string_view knownNames[] = {{\n"
                       f"          {', '.join(quote(n) for n in sorted(p.name for p in operation.params))}}};\n"
                       f"      static_assert(::Tirn::Data::AreNamesSorted(knownNames), "
                       f"\"known names must be sorted\");\n"
                       f"      template <class H>\n"
                       f"      static void AddFields(H& compound, Input* native) {{\n{visits}"
                       f"      }}\n    }};\n  }};\n")
        else:
            out.append("  using Input = ::Tirn::OperationInput;\n")
        out.append("\n  static std::string methodName();\n"
                   "  static ::Tirn::Data::DataDefinitionPtr inputDef();\n"
                   "  static ::Tirn::Data::DataDefinitionPtr outputDef();\n"
                   "  // The declared errors, in a fixed order.\n"
                   "  static std::list<::Tirn::Data::DataDefinitionPtr> errorDefs();\n};\n")
        return "".join(out)

    def method_definitions(self, operation, names):
        method = f"{camel_case(operation.name)}Method"
        errors = "".join(f"  result.push_back(::Tirn::Data::DescribeType<::Com::Ostrel::Tirn::Std::Errors::{e}>());\n"
                         for e in operation.errors)
        return (f"\nstd::string {method}::methodName() {{ return {quote(operation.name)}; }}\n"
                f"::Tirn::Data::DataDefinitionPtr {method}::inputDef() {{ return ::Tirn::Data::DescribeType<Input>(); }}\n"
                f"::Tirn::Data::DataDefinitionPtr {method}::outputDef() {{ return ::Tirn::Data::DescribeType<Result>(); }}\n"
                f"std::list<::Tirn::Data::DataDefinitionPtr> {method}::errorDefs() {{\n"
                f"  std::list<::Tirn::Data::DataDefinitionPtr> result;\n{errors}  return result;\n}}\n")

    # -- Stub --

    def stub_files(self, service, directory):
        names = Names(self.package, service)
        identifier = service.identifier(self.package.name)
        body = [open_namespaces(self.namespaces(service)),
                f"\n// The client of {identifier}: each operation packs its arguments and sends "
                f"them through\n// the shared AsyncApiStub; the outcome reaches the result handle.\n"
                f"class {self.export} AsyncServiceStub : public AsyncServiceInterface {{\n"
                f" public:\n"
                f"  explicit AsyncServiceStub(std::shared_ptr<::Tirn::Stub::AsyncApiStub> apiStub);\n\n"]
        for operation in service.operations:
            body.append(f"  void {self.signature(operation, names)} override;\n")
        body.append("\n  // The same calls without a handle: each future is ready once its call has ended (on\n"
                    "  // whichever thread ends it). Do not wait for one on the thread that must run the call.\n")
        for operation in service.operations:
            body.append(f"  {self.future_signature(operation, names, True)};\n")
        body.append("\n private:\n  std::shared_ptr<::Tirn::Stub::AsyncApiStub> apiStub_;\n};\n")
        body.append("\n" + close_namespaces(self.namespaces(service)))
        self.emit(f"{directory}/stub.h",
                  header(f"{self.root}/{directory}/stub.h", self.description,
                         f"The client stub of the service {identifier}.",
                         {"<future>", "<memory>", f'"{self.root}/export.h"',
                          '"tirn/runtime/call/call_result.h"', '"tirn/stub/async_api_stub.h"',
                          f'"{self.root}/{directory}/service.h"'}, "".join(body)))
        src = [open_namespaces(self.namespaces(service)),
               "\nAsyncServiceStub::AsyncServiceStub(std::shared_ptr<::Tirn::Stub::AsyncApiStub> "
               "apiStub)\n    : apiStub_(std::move(apiStub)) {}\n"]
        for operation in service.operations:
            method = f"{camel_case(operation.name)}Method"
            fills = "".join(f"  input.{p.name} = {p.name};\n" for p in operation.params)
            src.append(f"\nvoid AsyncServiceStub::{self.signature(operation, names)} {{\n"
                       f"  {method}::Input input;\n{fills}"
                       f"  ::Tirn::Stub::AsyncMethodInvoker::Invoke<{method}>(input, activation, "
                       f"result, apiStub_);\n}}\n")
        for operation in service.operations:
            method = f"{camel_case(operation.name)}Method"
            arguments = ", ".join([p.name for p in operation.params] + ["activation", "call.handle"])
            src.append(f"\n{self.future_signature(operation, names, False, 'AsyncServiceStub::')} {{\n"
                       f"  auto call = ::Tirn::MakeFutureCall<{method}::Result>();\n"
                       f"  {camel_case(operation.name)}({arguments});\n"
                       f"  return std::move(call.future);\n}}\n")
        src.append("\n" + close_namespaces(self.namespaces(service)))
        self.emit(f"{directory}/stub.cc",
                  source(self.description, [f'"{self.root}/{directory}/stub.h"',
                                            '"tirn/runtime/call/future_call.h"',
                                            '"tirn/stub/async_method_invoker.h"'], "".join(src)))

    # -- Binder --

    def binder_files(self, service, directory):
        names = Names(self.package, service)
        identifier = service.identifier(self.package.name)
        body = [open_namespaces(self.namespaces(service)),
                f"\n// Builds the provider method of each operation of {identifier} around an\n"
                f"// implementation.\n"
                f"struct {self.export} AsyncServiceBinderHelper {{\n"]
        for operation in service.operations:
            op = camel_case(operation.name)
            body.append(f"  struct {self.export} {op}MethodBuilder {{\n"
                        f"    using Operation = void (AsyncServiceInterface::*)"
                        f"({self.param_types(operation, names)});\n"
                        f"    std::shared_ptr<::Tirn::Provider::AsyncApiMethodSignal> operator()(\n"
                        f"        Operation operation, std::shared_ptr<AsyncServiceInterface> const& "
                        f"implementation,\n"
                        f"        std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) const;\n"
                        f"  }};\n")
        body.append("\n  // The interface object of the implementation, its operations in slot order.\n"
                    "  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> Bind(\n"
                    "      std::shared_ptr<AsyncServiceInterface> const& implementation,\n"
                    "      std::shared_ptr<::Tirn::L10n::Localizer> const& localizer);\n};\n")
        body.append(f"\n// Binds a server's implementation of {identifier} for registration with "
                    f"the\n// runtime. Error messages are localized with the given localizer "
                    f"(a default, empty\n// one when none is given: the default English texts "
                    f"apply).\n"
                    f"struct {self.export} AsyncServiceBinder {{\n"
                    f"  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> "
                    f"BindImplementation(\n"
                    f"      std::shared_ptr<AsyncServiceInterface> const& implementation);\n"
                    f"  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> "
                    f"BindImplementation(\n"
                    f"      std::shared_ptr<AsyncServiceInterface> const& implementation,\n"
                    f"      std::shared_ptr<::Tirn::L10n::Localizer> const& localizer);\n}};\n")
        body.append("\n" + close_namespaces(self.namespaces(service)))
        self.emit(f"{directory}/binder.h",
                  header(f"{self.root}/{directory}/binder.h", self.description,
                         f"The server binder of the service {identifier}.",
                         {"<memory>", f'"{self.root}/export.h"', '"tirn/runtime/call/api_method.h"',
                          '"tirn/runtime/l10n/localizer.h"', '"tirn/provider/async_api_method_signal.h"',
                          f'"{self.root}/{directory}/service.h"'}, "".join(body)))

        src = [open_namespaces(self.namespaces(service))]
        for operation in service.operations:
            op = camel_case(operation.name)
            method = f"{op}Method"
            args = "".join(f"input.{p.name}, " for p in operation.params)
            # An operation without parameters receives only the activation and the handle.
            input_name = " input" if operation.params else ""
            src.append(
                f"\nstd::shared_ptr<::Tirn::Provider::AsyncApiMethodSignal> "
                f"AsyncServiceBinderHelper::{op}MethodBuilder::operator()(\n"
                f"    Operation operation, std::shared_ptr<AsyncServiceInterface> const& "
                f"implementation,\n"
                f"    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) const {{\n"
                f"  auto signal = ::Tirn::Provider::AsyncApiMethodSignal::GetInstance(\n"
                f"      {method}::methodName(), {method}::inputDef(), {method}::outputDef(), "
                f"{method}::errorDefs(),\n      localizer);\n"
                f"  auto call = [operation, implementation](\n"
                f"                  {method}::Input const&{input_name},\n"
                f"                  std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation,\n"
                f"                  {method}::ResultCbType const& result) {{\n"
                f"    ((*implementation).*operation)({args}activation, result);\n  }};\n"
                f"  signal->Connect(::Tirn::Provider::AsyncApiMethodFilter<decltype(call), "
                f"{method}::Result,\n"
                f"                                                       {method}::Input,\n"
                f"                                                       "
                f"::Tirn::Provider::DirectFilterBinder>(\n      std::move(call)));\n"
                f"  return signal;\n}}\n")
        builds = "".join(
            f"  methods.push_back({camel_case(op.name)}MethodBuilder()(&AsyncServiceInterface::"
            f"{camel_case(op.name)}, implementation, localizer));\n" for op in service.operations)
        src.append(
            f"\nstd::shared_ptr<::Tirn::Provider::AsyncApiInterface> AsyncServiceBinderHelper::Bind(\n"
            f"    std::shared_ptr<AsyncServiceInterface> const& implementation,\n"
            f"    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) {{\n"
            f"  auto identifier = std::make_shared<::Tirn::Core::InterfaceIdentifier const>(\n"
            f"      ::Tirn::Data::TypeInfo<AsyncServiceInterface>::name());\n"
            f"  std::list<std::shared_ptr<::Tirn::Provider::AsyncApiMethod const>> methods;\n"
            f"{builds}"
            f"  return ::Tirn::Provider::AsyncApiInterface::GetInstance(identifier, methods);\n}}\n"
            f"\nstd::shared_ptr<::Tirn::Provider::AsyncApiInterface> "
            f"AsyncServiceBinder::BindImplementation(\n"
            f"    std::shared_ptr<AsyncServiceInterface> const& implementation) {{\n"
            f"  return AsyncServiceBinderHelper::Bind(implementation,\n"
            f"                                        std::make_shared<::Tirn::L10n::Localizer>());\n}}\n"
            f"\nstd::shared_ptr<::Tirn::Provider::AsyncApiInterface> "
            f"AsyncServiceBinder::BindImplementation(\n"
            f"    std::shared_ptr<AsyncServiceInterface> const& implementation,\n"
            f"    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) {{\n"
            f"  return AsyncServiceBinderHelper::Bind(implementation, localizer);\n}}\n")
        src.append("\n" + close_namespaces(self.namespaces(service)))
        self.emit(f"{directory}/binder.cc",
                  source(self.description, [f'"{self.root}/{directory}/binder.h"',
                                            '"tirn/provider/async_api_method_filter.h"'],
                         "".join(src)))

    def param_types(self, operation, names):
        return self.signature(operation, names, with_names=False).split("(", 1)[1][:-1]

    # -- Metadata --

    def metadata_files(self, service, directory):
        records = []
        for structure in service.structures:
            ids = [f for f in structure.fields if f.type.base == "id"]
            if ids:
                records.append((structure, ids))
        if not records:
            return
        names = Names(self.package, service)
        declarations = "".join(
            f"template <>\n{self.export} std::shared_ptr<StructInfo> "
            f"StructInfo::Create<{names.qualified(s)}>();\n" for s, _ in records)
        self.emit(f"{directory}/metadata.h",
                  header(f"{self.root}/{directory}/metadata.h", self.description,
                         f"Resource metadata of the structures of the service "
                         f"{service.identifier(self.package.name)}.",
                         {"<memory>", f'"{self.root}/export.h"', '"tirn/metadata/struct_info.h"',
                          f'"{self.root}/{directory}/types.h"'},
                         "namespace Tirn {\nnamespace Metadata {\n\n" + declarations +
                         "\n}  // namespace Metadata\n}  // namespace Tirn\n"))
        src = ["namespace Tirn {\nnamespace Metadata {\n"]
        for structure, ids in records:
            metadata_name = ".".join([self.package.name, service.subpackage,
                                      camel_case(service.name), structure.name])
            fields = "".join(
                f"  fields[{quote(f.name)}] = FieldInfo::ForResource("
                f"{quote(self.package.name + '.' + f.type.resource)});\n" for f in ids)
            src.append(f"\ntemplate <>\nstd::shared_ptr<StructInfo> "
                       f"StructInfo::Create<{names.qualified(structure)}>() {{\n"
                       f"  StructInfo::FieldMap fields;\n{fields}"
                       f"  return std::make_shared<StructInfo>({quote(metadata_name)}, fields);\n}}\n")
        src.append("\n}  // namespace Metadata\n}  // namespace Tirn\n")
        self.emit(f"{directory}/metadata.cc",
                  source(self.description, [f'"{self.root}/{directory}/metadata.h"'],
                         "".join(src)))

    # -- The table of operations --

    def operations_files(self):
        parts = namespace_parts(self.package.name)
        body = [open_namespaces(parts),
                f"\n// Every operation of the package, in the order of its description.\n"
                f"{self.export} ::Tirn::Core::OperationTable const& Operations();\n\n",
                close_namespaces(parts)]
        self.emit("operations.h",
                  header(f"{self.root}/operations.h", self.description,
                         f"The table of the operations of {self.package.name}.",
                         {f'"{self.root}/export.h"', '"tirn/runtime/call/operation_table.h"'},
                         "".join(body)))
        rows = []
        includes = [f'"{self.root}/operations.h"']
        for service in self.package.services:
            includes.append(f'"{self.root}/{service.subpackage}/{service.name}/service.h"')
            ns = "::" + "::".join(self.namespaces(service))
            for operation in service.operations:
                method = f"{ns}::{camel_case(operation.name)}Method"
                rows.append(f"      {{{quote(service.identifier(self.package.name))}, "
                            f"{quote(service.subpackage + '.' + service.name)}, "
                            f"{quote(operation.name)},\n"
                            f"       &{method}::inputDef, &{method}::outputDef, "
                            f"&{method}::errorDefs}},\n")
        src = [open_namespaces(parts),
               "\n::Tirn::Core::OperationTable const& Operations() {\n"
               "  static ::Tirn::Core::OperationTable const kTable(\n"
               f"      {quote(self.package.name)},\n"
               "      {\n", "".join(rows), "      });\n  return kTable;\n}\n\n",
               close_namespaces(parts)]
        self.emit("operations.cc", source(self.description, includes, "".join(src)))

    def umbrella(self):
        includes = {f'"{self.root}/types.h"', f'"{self.root}/operations.h"'}
        for service in self.package.services:
            directory = f"{self.root}/{service.subpackage}/{service.name}"
            includes |= {f'"{directory}/types.h"', f'"{directory}/service.h"',
                         f'"{directory}/stub.h"', f'"{directory}/binder.h"'}
            if any(f.type.base == "id" for s in service.structures for f in s.fields):
                includes.add(f'"{directory}/metadata.h"')
        name = self.package.name.split(".")[-1]
        self.emit(f"{name}.h", header(f"{self.root}/{name}.h", self.description,
                                      f"Everything of the package {self.package.name}.",
                                      includes, ""))


# ---- Driver --------------------------------------------------------------------------------

def load(path):
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    package = Parser(path, text).parse()
    Checker(path, package).check()
    return package


def generate(path, description_name=None):
    package = load(path)
    return Generator(package, description_name or os.path.basename(path)).run()


def write(files, output):
    for relative, text in sorted(files.items()):
        target = os.path.join(output, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            with open(target, encoding="utf-8") as handle:
                if handle.read() == text:
                    continue
        except FileNotFoundError:
            pass
        with open(target, "w", encoding="utf-8") as handle:
            handle.write(text)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("description", help="the package description (.tidl)")
    parser.add_argument("--output", help="the generated include root to write into")
    parser.add_argument("--list", action="store_true", help="print the files, one per line")
    parser.add_argument("--check", action="store_true", help="only validate the description")
    parser.add_argument("--name", help="the description's name in the generated banners")
    parser.add_argument("--api-page", metavar="FILE",
                        help="write the Markdown page of the package's calls and structures "
                             "(with --check: only compare it with FILE)")
    args = parser.parse_args(argv)
    try:
        if args.api_page:
            page = Generator(load(args.description),
                             args.name or os.path.basename(args.description)).api_page()
            if args.check:
                with open(args.api_page, encoding="utf-8") as handle:
                    if handle.read() != page:
                        print(f"{args.api_page}: out of date; write it again with --api-page",
                              file=sys.stderr)
                        return 1
            else:
                with open(args.api_page, "w", encoding="utf-8") as handle:
                    handle.write(page)
        files = generate(args.description, args.name)
    except DescriptionError as error:
        print(error, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{args.description}: error: {error.strerror}", file=sys.stderr)
        return 1
    if args.list:
        for relative in sorted(files):
            print(relative)
    if args.output:
        write(files, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
