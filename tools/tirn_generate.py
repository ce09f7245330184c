#!/usr/bin/env python3
"""Generates the C++ bindings of an API package from its declarative description.

The description (a .tidl file) declares the package once: its shared structures and, per
service, the published resource type, enumerations, structures (fields in declaration order,
union tags and cases) and operations (parameters, result and declared standard errors, in
slot order). This tool applies the naming rules (canonical wire names, metadata names,
namespaces, sorted known-name arrays, string tables, union annotations) and writes, per
service, its types, operation descriptors and service interface, client stub, server binder
and structure metadata, and for the package its table of operations (with the annotations
the definitions cannot hold: each enumeration field's names, each union case's tag values) and
its OpenAPI 3.1 document (openapi.json, and the same text compiled into the library). The text of every
generated C++ file is one of the templates below; the code computes the pieces that fill them.
The document's error statuses are read from the server's table, error_statuses.def.

  tirn_generate.py DESCRIPTION --output DIR     write the sources (only files that change)
  tirn_generate.py DESCRIPTION --list           print the files it would write
  tirn_generate.py DESCRIPTION --check          validate the description only
  tirn_generate.py DESCRIPTION --openapi FILE   also write the OpenAPI document to FILE

A mistake in the description is reported as "FILE:LINE: error: MESSAGE" and the tool exits
with status 1 without writing anything.

Only the Python standard library is used.
"""

import argparse
import json
import os
import re
import string
import sys
from dataclasses import dataclass, field
from http import HTTPStatus
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


# ---- Templates -----------------------------------------------------------------------------
#
# Every text the tool writes comes from the templates below: one per kind of generated file,
# and one per repeated piece of a file (a class per enumeration, a method per operation...).
# The generation code further down computes the pieces and fills the templates with them.
# A template holds its text exactly, blank lines included: a piece that comes after a blank
# line starts with an empty line.

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
        for name, value in globals().items():
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


# -- Every file --

BANNER = Template("""\
// Generated by $tool from $description.
// Do not edit: change the description and rebuild.
""")

# The includes and the body are one piece, ending with no blank line: exactly one blank line
# comes before the guard's end, whatever the body ends with.
HEADER_FILE = Template("""\
$banner//
// $purpose
#ifndef $guard
#define $guard

$contents

#endif  // $guard
""")

SOURCE_FILE = Template("""\
$banner
$includes
$body""")

INCLUDE = Template("#include $file\n")

NAMESPACE_OPEN = Template("namespace $name {\n")

NAMESPACE_CLOSE = Template("}  // namespace $name\n")

# -- The TypeInfo specialisation of every bound type, and its routines --

# The specialisations of a file's bound types, then their routines: declarations in the
# header, definitions in the source.
TYPE_INFO_BLOCK = Template("""
namespace Tirn {
namespace Data {
$specialisations
}  // namespace Data
}  // namespace Tirn

$routines""")

TYPE_INFO_DECLARATION = Template("""
template <>
struct $export TypeInfo<$type> {
${note}  static std::string const& name();
${default_instance}};
""")

TYPE_INFO_DEFINITION = Template("""
std::string const& TypeInfo<$type>::name() {
$name}
$default_instance""")

# The name of a type with a wire name of its own.
OWN_NAME = Template("""\
  static std::string const kName = $wire;
  return kName;
""")

OPERATION_INPUT_NAME = Template("""\
  return TypeInfo<::Tirn::OperationInput>::name();
""")

DEFAULT_INSTANCE_DECLARATION = Template("""\
  // A new default-constructed object; the value is ignored.
  static std::shared_ptr<$type> defaultInstance(
      DataValuePtr const& value);
""")

DEFAULT_INSTANCE_DEFINITION = Template("""
std::shared_ptr<$type> TypeInfo<$type>::defaultInstance(
    DataValuePtr const&) {
  return std::make_shared<$type>();
}
""")

INTERFACE_NAME_NOTE = "  // The interface identifier.\n"

INPUT_NAME_NOTE = "  // Every operation input travels under the operation-input name.\n"

DECLARE_ROUTINES = Template("TIRN_DECLARE_ROUTINES($type)\n")

DEFINE_ROUTINES = Template("TIRN_DEFINE_ROUTINES($type)\n")

# -- types.h and types.cc: structures and enumerations --

SERVICE_TYPES_PURPOSE = Template("Structures and enumerations of the service $scope.")

SHARED_TYPES_PURPOSE = Template("The shared structures of the package $scope.")

TYPES_H = Template("""\
$open_namespaces$resource_type$enumerations$declarations$structures
$close_namespaces$type_info""")

TYPES_CC = Template("""\
$open_namespaces$resource_type$structures
$close_namespaces$type_info""")

RESOURCE_TYPE_DECLARATION = Template("""
namespace Constants {
// The resource type of this service's identifiers.
$export extern char const RESOURCE_TYPE[];
}  // namespace Constants
""")

RESOURCE_TYPE_DEFINITION = Template("""
namespace Constants {
char const RESOURCE_TYPE[] = $resource;
}  // namespace Constants
""")

ENUMERATION_CLASS = Template("""
// Enumeration $name: $values; any other received
// string is _UNKNOWN and is kept to be sent back unchanged.
class $export $name {
 public:
  enum Enum : std::int32_t {
$enumerators  };
  struct Strings {
    static constexpr char const* values[] = {$strings, nullptr};
  };

  $name() = default;
  $name(Enum value, std::string unknownValue = {})  // NOLINT: enumerators convert
      : value_(value), unknownValue_(std::move(unknownValue)) {}

  Enum value() const { return value_; }
  // The received string when the value is _UNKNOWN (may be empty).
  std::string const& unknownValue() const { return unknownValue_; }

  friend bool operator==($name const& a, $name const& b) {
    return a.value_ == b.value_ && a.unknownValue_ == b.unknownValue_;
  }
  friend bool operator!=($name const& a, $name const& b) {
    return !(a == b);
  }
  friend bool operator<($name const& a, $name const& b) {
    return a.value_ != b.value_ ? a.value_ < b.value_ : a.unknownValue_ < b.unknownValue_;
  }

 private:
  Enum value_ = _UNKNOWN;
  std::string unknownValue_;
};
""")

ENUM_VALUE = Template("    $name = $number,\n")

# The structures are declared ahead of their definitions: they may name each other.
STRUCTURE_DECLARATIONS = Template("""
$declarations""")

STRUCTURE_DECLARATION = Template("struct $name;\n")

UNION_ANNOTATIONS = Template("""
// Union annotations of $structure.
namespace ${structure}Annotations {
struct $export UnionTags {
  struct Strings {
    static constexpr char const* values[] = {$tags, nullptr};
  };
};
${cases}}  // namespace ${structure}Annotations
""")

UNION_CASES = Template("""\
struct $export ${field}UnionCases {
  struct Strings {
    static constexpr char const* values[] = {$values, nullptr};
  };
};
""")

STRUCTURE_CLASS = Template("""
// $wire
struct $export $name : ::Tirn::Data::BaseNative {
$members
  // Member-wise equality, unknown fields included.
  friend $export bool operator==($name const& a, $name const& b);
  friend bool operator!=($name const& a, $name const& b) {
    return !(a == b);
  }
  // Writes the structure readably on one line, secrets masked.
  friend $export std::ostream& operator<<(std::ostream& out, $name const& value);

  // The field list, in declaration order, for the conversion engines.
  struct AdapterHelper {
    using IsStructure = void;
$known_names    template <class H>
$add_fields$visits    }
  };
};
""")

MEMBER = Template("  $type $name$initializer;\n")

KNOWN_NAMES = Template("""\
    static constexpr boost::string_view knownNames[] = {
        $names};
    static_assert(::Tirn::Data::AreNamesSorted(knownNames), "known names must be sorted");
""")

NO_KNOWN_NAMES = Template("""\
    static constexpr std::array<boost::string_view, 0> knownNames{};
""")

ADD_FIELDS = Template("""\
    static void AddFields(H& compound, $name* native) {
""")

# A structure without fields leaves the parameters unnamed: nothing reads them.
ADD_NO_FIELDS = Template("""\
    static void AddFields(H&, $name*) {
""")

FIELD_VISIT = Template("""\
      compound.Field($wire, native, &$structure::$name);
""")

UNION_CASE_VISIT = Template("""\
      compound.template UnionCase<${structure}Annotations::UnionTags, $tag,
          ::Tirn::Data::UnionCaseAnyEnumValue<${structure}Annotations::${field}UnionCases>>(
          $wire, native, &$structure::$name);
""")

# NativeEqual walks the field list with a work stack: recursive types compare without recursion.
STRUCTURE_OPERATORS = Template("""
bool operator==($name const& a, $name const& b) {
  return ::Tirn::Data::NativeEqual(a, b);
}

std::ostream& operator<<(std::ostream& out, $name const& value) {
  return ::Tirn::Data::PrintNative(out, value);
}
""")

# -- service.h and service.cc: operation descriptors and the service interface --

SERVICE_PURPOSE = Template("Operation descriptors and the interface of the service $identifier.")

SERVICE_H = Template("""\
$open_namespaces
class AsyncServiceInterface;
$methods
// The service $identifier. Servers implement it and bind it with
// AsyncServiceBinder; clients call it through AsyncServiceStub. Every operation reports
// its outcome only through its result handle, possibly before it returns.
class $export AsyncServiceInterface {
 public:
${operations}  virtual ~AsyncServiceInterface();
};

$close_namespaces$type_info""")

SERVICE_CC = Template("""\
$open_namespaces
AsyncServiceInterface::~AsyncServiceInterface() = default;
$methods
$close_namespaces$type_info""")

INTERFACE_OPERATION = Template("  virtual void $signature = 0;\n")

METHOD_CLASS = Template("""
// Operation "$operation".
struct $export $method {
  using Interface = AsyncServiceInterface;
  using Result = $result;
  using ResultCbType = ::Tirn::AsyncResult<Result, ::Tirn::AsyncResultTerminateCbPolicy>;
$input
  static std::string methodName();
  static ::Tirn::Data::DataDefinitionPtr inputDef();
  static ::Tirn::Data::DataDefinitionPtr outputDef();
  // The declared errors, in a fixed order.
  static std::list<::Tirn::Data::DataDefinitionPtr> errorDefs();
};
""")

METHOD_INPUT = Template("""
  // The parameters, sent as one operation-input structure.
  struct $export Input {
    // Reserved for the transport; no conversion reads or writes it.
    std::shared_ptr<void const> opaque;
$members
    struct AdapterHelper {
      using IsStructure = void;
      static constexpr boost::string_view knownNames[] = {
          $names};
      static_assert(::Tirn::Data::AreNamesSorted(knownNames), "known names must be sorted");
      template <class H>
      static void AddFields(H& compound, Input* native) {
$visits      }
    };
  };
""")

# An operation without parameters takes the standard empty input.
NO_METHOD_INPUT = Template("""\
  using Input = ::Tirn::OperationInput;
""")

INPUT_MEMBER = Template("    $type $name;\n")

INPUT_VISIT = Template("        compound.Field($wire, native, &Input::$name);\n")

METHOD_DEFINITIONS = Template("""
std::string $method::methodName() { return $operation; }
::Tirn::Data::DataDefinitionPtr $method::inputDef() { return ::Tirn::Data::DescribeType<Input>(); }
::Tirn::Data::DataDefinitionPtr $method::outputDef() { return ::Tirn::Data::DescribeType<Result>(); }
std::list<::Tirn::Data::DataDefinitionPtr> $method::errorDefs() {
  std::list<::Tirn::Data::DataDefinitionPtr> result;
${errors}  return result;
}
""")

ERROR_DEFINITION = Template("""\
  result.push_back(::Tirn::Data::DescribeType<::Com::Ostrel::Tirn::Std::Errors::$error>());
""")

# -- The calls of an operation, as the interface, the stub and the API page spell them --

CALL = Template("""\
${operation}(${parameters}std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation, \
${operation}Method::ResultCbType const& result)""")

CALL_PARAMETER = Template("$type const& $name, ")

CALL_TYPES = Template("""\
${parameters}std::shared_ptr<::Tirn::Core::AsyncActivation> const&, \
${operation}Method::ResultCbType const&""")

CALL_PARAMETER_TYPE = Template("$type const&, ")

FUTURE_CALL_DECLARATION = Template("""\
std::future<::Tirn::CallResult<${operation}Method::Result>> \
${operation}(${parameters}std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation = nullptr)""")

FUTURE_CALL_DEFINITION = Template("""\
std::future<::Tirn::CallResult<${operation}Method::Result>> \
AsyncServiceStub::${operation}(${parameters}std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation)""")

# -- stub.h and stub.cc: the client stub --

STUB_PURPOSE = Template("The client stub of the service $identifier.")

STUB_H = Template("""\
$open_namespaces
// The client of $identifier: each operation packs its arguments and sends them through
// the shared AsyncApiStub; the outcome reaches the result handle.
class $export AsyncServiceStub : public AsyncServiceInterface {
 public:
  explicit AsyncServiceStub(std::shared_ptr<::Tirn::Stub::AsyncApiStub> apiStub);

$calls
  // The same calls without a handle: each future is ready once its call has ended (on
  // whichever thread ends it). Do not wait for one on the thread that must run the call.
$future_calls
 private:
  std::shared_ptr<::Tirn::Stub::AsyncApiStub> apiStub_;
};

$close_namespaces""")

STUB_CALL_DECLARATION = Template("  void $call override;\n")

FUTURE_CALL_DECLARATION_LINE = Template("  $call;\n")

STUB_CC = Template("""\
$open_namespaces
AsyncServiceStub::AsyncServiceStub(std::shared_ptr<::Tirn::Stub::AsyncApiStub> apiStub)
    : apiStub_(std::move(apiStub)) {}
$calls$future_calls
$close_namespaces""")

STUB_CALL = Template("""
void AsyncServiceStub::$call {
  $method::Input input;
${fills}  ::Tirn::Stub::AsyncMethodInvoker::Invoke<$method>(input, activation, result, apiStub_);
}
""")

INPUT_FILL = Template("  input.$name = $name;\n")

STUB_FUTURE_CALL = Template("""
$call {
  auto call = ::Tirn::MakeFutureCall<$method::Result>();
  ${operation}(${arguments}activation, call.handle);
  return std::move(call.future);
}
""")

ARGUMENT = Template("$name, ")

# -- binder.h and binder.cc: the server binder --

BINDER_PURPOSE = Template("The server binder of the service $identifier.")

BINDER_H = Template("""\
$open_namespaces
// Builds the provider method of each operation of $identifier around an
// implementation.
struct $export AsyncServiceBinderHelper {
${builders}
  // The interface object of the implementation, its operations in slot order.
  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> Bind(
      std::shared_ptr<AsyncServiceInterface> const& implementation,
      std::shared_ptr<::Tirn::L10n::Localizer> const& localizer);
};

// Binds a server's implementation of $identifier for registration with the
// runtime. Error messages are localized with the given localizer (a default, empty
// one when none is given: the default English texts apply).
struct $export AsyncServiceBinder {
  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> BindImplementation(
      std::shared_ptr<AsyncServiceInterface> const& implementation);
  static std::shared_ptr<::Tirn::Provider::AsyncApiInterface> BindImplementation(
      std::shared_ptr<AsyncServiceInterface> const& implementation,
      std::shared_ptr<::Tirn::L10n::Localizer> const& localizer);
};

$close_namespaces""")

METHOD_BUILDER_DECLARATION = Template("""\
  struct $export ${operation}MethodBuilder {
    using Operation = void (AsyncServiceInterface::*)($types);
    std::shared_ptr<::Tirn::Provider::AsyncApiMethodSignal> operator()(
        Operation operation, std::shared_ptr<AsyncServiceInterface> const& implementation,
        std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) const;
  };
""")

BINDER_CC = Template("""\
$open_namespaces$builders
std::shared_ptr<::Tirn::Provider::AsyncApiInterface> AsyncServiceBinderHelper::Bind(
    std::shared_ptr<AsyncServiceInterface> const& implementation,
    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) {
  auto identifier = std::make_shared<::Tirn::Core::InterfaceIdentifier const>(
      ::Tirn::Data::TypeInfo<AsyncServiceInterface>::name());
  std::list<std::shared_ptr<::Tirn::Provider::AsyncApiMethod const>> methods;
${methods}  return ::Tirn::Provider::AsyncApiInterface::GetInstance(identifier, methods);
}

std::shared_ptr<::Tirn::Provider::AsyncApiInterface> AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> const& implementation) {
  return AsyncServiceBinderHelper::Bind(implementation,
                                        std::make_shared<::Tirn::L10n::Localizer>());
}

std::shared_ptr<::Tirn::Provider::AsyncApiInterface> AsyncServiceBinder::BindImplementation(
    std::shared_ptr<AsyncServiceInterface> const& implementation,
    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) {
  return AsyncServiceBinderHelper::Bind(implementation, localizer);
}

$close_namespaces""")

# An operation without parameters receives only the activation and the handle: its input
# parameter stays unnamed.
METHOD_BUILDER_DEFINITION = Template("""
std::shared_ptr<::Tirn::Provider::AsyncApiMethodSignal> \
AsyncServiceBinderHelper::${operation}MethodBuilder::operator()(
    Operation operation, std::shared_ptr<AsyncServiceInterface> const& implementation,
    std::shared_ptr<::Tirn::L10n::Localizer> const& localizer) const {
  auto signal = ::Tirn::Provider::AsyncApiMethodSignal::GetInstance(
      $method::methodName(), $method::inputDef(), $method::outputDef(), $method::errorDefs(),
      localizer);
  auto call = [operation, implementation](
                  $method::Input const&$input,
                  std::shared_ptr<::Tirn::Core::AsyncActivation> const& activation,
                  $method::ResultCbType const& result) {
    ((*implementation).*operation)(${arguments}activation, result);
  };
  signal->Connect(::Tirn::Provider::AsyncApiMethodFilter<decltype(call), $method::Result,
                                                       $method::Input,
                                                       ::Tirn::Provider::DirectFilterBinder>(
      std::move(call)));
  return signal;
}
""")

NAMED_INPUT = " input"

INPUT_ARGUMENT = Template("input.$name, ")

BIND_METHOD = Template("""\
  methods.push_back(${operation}MethodBuilder()(&AsyncServiceInterface::$operation, \
implementation, localizer));
""")

# -- metadata.h and metadata.cc: the resource metadata of structures with identifiers --

METADATA_PURPOSE = Template("Resource metadata of the structures of the service $identifier.")

METADATA_H = Template("""\
namespace Tirn {
namespace Metadata {

$declarations
}  // namespace Metadata
}  // namespace Tirn
""")

STRUCT_INFO_DECLARATION = Template("""\
template <>
$export std::shared_ptr<StructInfo> StructInfo::Create<$type>();
""")

METADATA_CC = Template("""\
namespace Tirn {
namespace Metadata {
$definitions
}  // namespace Metadata
}  // namespace Tirn
""")

STRUCT_INFO_DEFINITION = Template("""
template <>
std::shared_ptr<StructInfo> StructInfo::Create<$type>() {
  StructInfo::FieldMap fields;
${fields}  return std::make_shared<StructInfo>($name, fields);
}
""")

RESOURCE_FIELD = Template("  fields[$field] = FieldInfo::ForResource($resource);\n")

# -- operations.h and operations.cc: the table of the package's operations --

OPERATIONS_PURPOSE = Template("The table of the operations of $package.")

OPERATIONS_H = Template("""\
$open_namespaces
// Every operation of the package, in the order of its description; the table carries the
// package's OpenAPI document and the annotations of its structures too.
$export ::Tirn::Core::OperationTable const& Operations();

// The package's OpenAPI 3.1 document (JSON): a POST path per operation, its input, output and
// errors, as Tirn::Http::Server serves it at GET /v1/openapi.json. The same text is written
// beside the sources as openapi.json.
$export std::string const& OpenApiDocument();

$close_namespaces""")

OPERATIONS_CC = Template("""\
$open_namespaces
namespace {

// What the definitions cannot hold, by structure wire name: the names of each enumeration
// field, in declaration order, and the tag values of each union case.
::Tirn::Data::DefinitionAnnotations PackageAnnotations() {
  ::Tirn::Data::DefinitionAnnotations annotations;
${structures}  return annotations;
}
$inputs
}  // namespace

::Tirn::Core::OperationTable const& Operations() {
  static ::Tirn::Core::OperationTable const kTable(
      $package,
      {
${rows}      },
      OpenApiDocument(), PackageAnnotations());
  return kTable;
}

$close_namespaces""")

# The annotations of an operation input's fields: its enumeration parameters.
INPUT_ANNOTATIONS = Template("""
// The enumeration parameters of $service $operation.
::Tirn::Data::StructureAnnotations ${function}() {
  ::Tirn::Data::StructureAnnotations input;
${fields}  return input;
}
""")

ENUMERATION_ANNOTATION = Template("""\
  $target.enumerations[$field] = {$names};
""")

UNION_CASE_ANNOTATION = Template("""\
  $target.unionCases[$field] = {$tag, {$values}};
""")

STRUCTURE_TARGET = Template("annotations.structures[$wire]")

INPUT_TARGET = "input"

OPERATION_ROW = Template("""\
      {$identifier, $service, $operation,
       &$method::inputDef, &$method::outputDef, &$method::errorDefs$input_annotations},
""")

INPUT_ANNOTATIONS_ARGUMENT = Template(",\n       &$function")

# The document as raw strings of at most OPENAPI_PIECE characters each (a compiler need not
# take a longer literal), joined once; the delimiter is one the text does not hold.
OPENAPI_CC = Template("""\
$open_namespaces
std::string const& OpenApiDocument() {
  static char const* const kPieces[] = {
$pieces  };
  static std::string const kDocument = [] {
    std::string text;
    for (char const* piece : kPieces) text += piece;
    return text;
  }();
  return kDocument;
}

$close_namespaces""")

OPENAPI_PIECE = 16000

# -- export.h and the umbrella header --

EXPORT_PURPOSE = Template("""\
The symbols of the package's library: built with hidden visibility, a declaration
// marked $export is exported.""")

EXPORT_H = Template("""\
#define $export __attribute__((visibility("default")))
""")

UMBRELLA_PURPOSE = Template("Everything of the package $package.")

# -- The API page --

API_PAGE = Template("""\
# The package `$package`

Generated by `$tool` from `$description`; do not edit.
Every stub call exists in two forms: one that takes a result handle (any lambda
the handle accepts, see `tirn/runtime/call/async_result.h`), and one that returns a
`std::future` of a `Tirn::CallResult`. Servers implement the same signatures
of `AsyncServiceInterface` (the handle form).

$services$shared""")

API_SERVICE = Template("""\
## `$service`

Interface `$identifier`; C++ namespace `$namespace`;
header `$header`.

$operations$enumerations$structures""")

API_OPERATION = Template("""\
### `$operation`

```cpp
void $call;
$future_call;
```

Result: `$result`. Declared errors: $errors.

""")

API_NO_ERRORS = "none"

API_ENUMERATION = Template("""\
#### enumeration `$name`

$values

""")

API_STRUCTURE = Template("""\
#### `$name` (`$wire`)

| Field | C++ type |
|---|---|
$fields
""")

API_FIELD = Template("| `$name`$case | `$type` |\n")

API_CASE = Template(" (when `$tag` is $values)")

API_SHARED = Template("""\
## Shared structures

$structures""")

API_CODE = Template("`$text`")


# ---- Output helpers ------------------------------------------------------------------------

def guard(path):
    return re.sub(r"[^A-Za-z0-9]", "_", path).upper() + "_"


def open_namespaces(parts):
    return "".join(NAMESPACE_OPEN.fill(name=part) for part in parts)


def close_namespaces(parts):
    return "".join(NAMESPACE_CLOSE.fill(name=part) for part in reversed(parts))


def header(path, description, purpose, includes, body):
    """A header: the system includes, then the others, each group sorted."""
    system = sorted(i for i in includes if i.startswith("<"))
    local = sorted(i for i in includes if not i.startswith("<"))
    groups = "".join("".join(INCLUDE.fill(file=i) for i in group) + "\n"
                     for group in (system, local) if group)
    return HEADER_FILE.fill(banner=BANNER.fill(tool=TOOL, description=description),
                            purpose=purpose, guard=guard(path),
                            contents=(groups + body).rstrip("\n"))


def source(description, includes, body):
    """A source file: its includes in the given order."""
    return SOURCE_FILE.fill(banner=BANNER.fill(tool=TOOL, description=description),
                            includes="".join(INCLUDE.fill(file=i) for i in includes), body=body)


def raw_string_pieces(text, size):
    """`text` as raw string literals of at most `size` characters, one per line, each
    followed by a comma."""
    delimiter = raw_string_delimiter(text)
    return "".join(f'      R"{delimiter}({text[start:start + size]}){delimiter}",\n'
                   for start in range(0, max(len(text), 1), size))


def raw_string_delimiter(text):
    """A delimiter for R"d(text)d": one whose end, )d", the text does not hold."""
    delimiter = "tirn"
    while f"){delimiter}\"" in text:
        delimiter += "_"
    return delimiter


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def quoted_list(words):
    return ", ".join(quote(word) for word in words)


def code_list(words):
    return ", ".join(API_CODE.fill(text=word) for word in words)


@dataclass
class BoundType:
    """A native type the bindings know by name: it gets a TypeInfo specialisation and, for a
    structure or an operation input, the conversion routines."""
    type: str                     # the qualified native type
    wire: Optional[str]           # its wire name; None for an operation input
    note: str = ""                # a comment on its name, if any
    default_instance: bool = False
    routines: bool = False


# ---- Generation ----------------------------------------------------------------------------

class Generator:
    def __init__(self, package, description, statuses=None):
        self.package = package
        self.description = description
        self.statuses = statuses
        self.root = "/".join(package.name.split("."))
        # The package's own export macro: a second package never borrows the first's.
        self.export = "_".join(package.name.upper().split(".")) + "_EXPORT"
        self.files = {}

    def emit(self, path, text):
        self.files[f"{self.root}/{path}"] = text

    def header(self, path, purpose, includes, body):
        self.emit(path, header(f"{self.root}/{path}", self.description, purpose, includes, body))

    def source(self, path, includes, body):
        self.emit(path, source(self.description, includes, body))

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
        self.openapi_files()
        self.export_file()
        self.umbrella()
        return self.files

    def export_file(self):
        self.header("export.h", EXPORT_PURPOSE.fill(export=self.export), set(),
                    EXPORT_H.fill(export=self.export))

    def api_page(self):
        """A Markdown page of every service of the package: its C++ namespace, each operation's
        stub calls (with a handle, and returning a future), its result and declared errors, and
        the fields of every structure."""
        package = self.package.name

        def structures(items, names):
            out = []
            for structure in items:
                fields = "".join(
                    API_FIELD.fill(name=item.name, type=names.member(item.type),
                                   case=(API_CASE.fill(tag=item.case_tag,
                                                       values=", ".join(item.case_values))
                                         if item.case_tag else ""))
                    for item in structure.fields)
                out.append(API_STRUCTURE.fill(name=structure.name,
                                              wire=structure.wire_name(package), fields=fields))
            return "".join(out)

        services = []
        for service in self.package.services:
            names = Names(self.package, service)
            operations = "".join(
                API_OPERATION.fill(operation=operation.name, call=self.call(operation, names),
                                   future_call=self.future_call(operation, names, True),
                                   result=names.result(operation.result),
                                   errors=code_list(operation.errors) or API_NO_ERRORS)
                for operation in service.operations)
            enumerations = "".join(
                API_ENUMERATION.fill(name=enumeration.name, values=code_list(enumeration.values))
                for enumeration in service.enumerations)
            services.append(API_SERVICE.fill(
                service=f"{service.subpackage}.{service.name}",
                identifier=service.identifier(package),
                namespace="::".join(self.namespaces(service)),
                header=f"{self.root}/{service.subpackage}/{service.name}/stub.h",
                operations=operations, enumerations=enumerations,
                structures=structures(service.structures, names)))
        shared = (API_SHARED.fill(structures=structures(self.package.structures,
                                                        Names(self.package, None)))
                  if self.package.structures else "")
        page = API_PAGE.fill(package=package, tool=TOOL, description=self.description,
                             services="".join(services), shared=shared)
        return page.rstrip() + "\n"

    # -- TypeInfo --

    def type_info(self, bound):
        """The TypeInfo specialisations of the bound types and their conversion routines: the
        declarations (for the header) and the definitions (for the source)."""
        declarations, definitions, declared, defined = [], [], [], []
        for item in bound:
            declarations.append(TYPE_INFO_DECLARATION.fill(
                export=self.export, type=item.type, note=item.note,
                default_instance=(DEFAULT_INSTANCE_DECLARATION.fill(type=item.type)
                                  if item.default_instance else "")))
            definitions.append(TYPE_INFO_DEFINITION.fill(
                type=item.type,
                name=(OWN_NAME.fill(wire=quote(item.wire)) if item.wire is not None
                      else OPERATION_INPUT_NAME.fill()),
                default_instance=(DEFAULT_INSTANCE_DEFINITION.fill(type=item.type)
                                  if item.default_instance else "")))
            if item.routines:
                declared.append(DECLARE_ROUTINES.fill(type=item.type.lstrip(":")))
                defined.append(DEFINE_ROUTINES.fill(type=item.type.lstrip(":")))
        return (TYPE_INFO_BLOCK.fill(specialisations="".join(declarations),
                                     routines="".join(declared)),
                TYPE_INFO_BLOCK.fill(specialisations="".join(definitions),
                                     routines="".join(defined)))

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
        published = service is not None and service.resource and service.resource_published
        bound = [BoundType(names.qualified(e), f"{scope}.{snake_case(e.name)}")
                 for e in enumerations]
        bound += [BoundType(names.qualified(s), s.wire_name(self.package.name),
                            default_instance=True, routines=True) for s in structures]
        type_info_h, type_info_cc = self.type_info(bound)
        namespaces = self.namespaces(service)
        purpose = SERVICE_TYPES_PURPOSE if service else SHARED_TYPES_PURPOSE
        declarations = "".join(STRUCTURE_DECLARATION.fill(name=s.name) for s in structures)
        self.header(f"{stem}.h", purpose.fill(scope=scope), includes, TYPES_H.fill(
            open_namespaces=open_namespaces(namespaces),
            resource_type=(RESOURCE_TYPE_DECLARATION.fill(export=self.export)
                           if published else ""),
            enumerations="".join(self.enumeration_class(e) for e in enumerations),
            declarations=(STRUCTURE_DECLARATIONS.fill(declarations=declarations)
                          if structures else ""),
            structures="".join(self.annotations(s) + self.struct_class(s, names)
                               for s in structures),
            close_namespaces=close_namespaces(namespaces), type_info=type_info_h))

        resource = f"{self.package.name}.{service.resource}" if published else None
        self.source(f"{stem}.cc", [f'"{self.root}/{stem}.h"', '"tirn/data/print_native.h"'],
                    TYPES_CC.fill(
                        open_namespaces=open_namespaces(namespaces),
                        resource_type=(RESOURCE_TYPE_DEFINITION.fill(resource=quote(resource))
                                       if published else ""),
                        structures="".join(STRUCTURE_OPERATORS.fill(name=s.name)
                                           for s in structures),
                        close_namespaces=close_namespaces(namespaces), type_info=type_info_cc))

    def enumeration_class(self, enumeration):
        values = enumeration.values + ["_UNKNOWN"]
        return ENUMERATION_CLASS.fill(
            export=self.export, name=enumeration.name, values=", ".join(enumeration.values),
            enumerators="".join(ENUM_VALUE.fill(name=v, number=i) for i, v in enumerate(values)),
            strings=quoted_list(values))

    @staticmethod
    def union_tags(structure):
        """The tags of the structure's union cases, in the order they are first named."""
        tags = []
        for item in structure.fields:
            if item.case_tag and item.case_tag not in tags:
                tags.append(item.case_tag)
        return tags

    def annotations(self, structure):
        tags = self.union_tags(structure)
        if not tags:
            return ""
        cases = "".join(
            UNION_CASES.fill(export=self.export, field=camel_case(item.name),
                             values=quoted_list(item.case_values + ["_UNKNOWN"]))
            for item in structure.fields if item.case_tag)
        return UNION_ANNOTATIONS.fill(structure=structure.name, export=self.export,
                                      tags=quoted_list(tags + ["_UNKNOWN"]), cases=cases)

    def struct_class(self, structure, names):
        members = "".join(MEMBER.fill(type=names.member(item.type), name=item.name,
                                      initializer=names.initializer(item.type))
                          for item in structure.fields)
        known = sorted(f.name for f in structure.fields)
        known_names = (KNOWN_NAMES.fill(names=quoted_list(known)) if known
                       else NO_KNOWN_NAMES.fill())
        tags = self.union_tags(structure)
        visits = []
        for item in structure.fields:
            if item.case_tag:
                visits.append(UNION_CASE_VISIT.fill(
                    structure=structure.name, tag=tags.index(item.case_tag),
                    field=camel_case(item.name), wire=quote(item.name), name=item.name))
            else:
                visits.append(FIELD_VISIT.fill(wire=quote(item.name), structure=structure.name,
                                               name=item.name))
        add_fields = ADD_FIELDS if structure.fields else ADD_NO_FIELDS
        return STRUCTURE_CLASS.fill(
            wire=structure.wire_name(self.package.name), export=self.export,
            name=structure.name, members=members, known_names=known_names,
            add_fields=add_fields.fill(name=structure.name), visits="".join(visits))

    # -- Operations and the service interface --

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
        namespaces = self.namespaces(service)
        ns = "::" + "::".join(namespaces)
        bound = [BoundType(f"{ns}::AsyncServiceInterface", identifier, note=INTERFACE_NAME_NOTE)]
        bound += [BoundType(f"{ns}::{camel_case(op.name)}Method::Input", None,
                            note=INPUT_NAME_NOTE, routines=True)
                  for op in service.operations if op.params]
        type_info_h, type_info_cc = self.type_info(bound)
        self.header(f"{directory}/service.h", SERVICE_PURPOSE.fill(identifier=identifier),
                    includes, SERVICE_H.fill(
                        open_namespaces=open_namespaces(namespaces),
                        methods="".join(self.method_class(op, names)
                                        for op in service.operations),
                        identifier=identifier, export=self.export,
                        operations="".join(INTERFACE_OPERATION.fill(signature=self.call(op, names))
                                           for op in service.operations),
                        close_namespaces=close_namespaces(namespaces), type_info=type_info_h))
        self.source(f"{directory}/service.cc",
                    [f'"{self.root}/{directory}/service.h"',
                     '"tirn/data/native_to_definition_adapter.h"', '"tirn/std/errors.h"',
                     '"tirn/std/operation_input.h"'],
                    SERVICE_CC.fill(
                        open_namespaces=open_namespaces(namespaces),
                        methods="".join(self.method_definitions(op) for op in service.operations),
                        close_namespaces=close_namespaces(namespaces), type_info=type_info_cc))

    def call(self, operation, names):
        """The operation's call with a result handle, as the interface declares it."""
        return CALL.fill(operation=camel_case(operation.name), parameters="".join(
            CALL_PARAMETER.fill(type=names.member(p.type), name=p.name)
            for p in operation.params))

    def call_types(self, operation, names):
        return CALL_TYPES.fill(operation=camel_case(operation.name), parameters="".join(
            CALL_PARAMETER_TYPE.fill(type=names.member(p.type)) for p in operation.params))

    def future_call(self, operation, names, declaration):
        """The operation's call returning a future: its declaration (with the activation's
        default) or the stub's definition."""
        template = FUTURE_CALL_DECLARATION if declaration else FUTURE_CALL_DEFINITION
        return template.fill(operation=camel_case(operation.name), parameters="".join(
            CALL_PARAMETER.fill(type=names.member(p.type), name=p.name)
            for p in operation.params))

    def method_class(self, operation, names):
        if operation.params:
            members = "".join(INPUT_MEMBER.fill(type=names.member(p.type), name=p.name)
                              for p in operation.params)
            visits = "".join(INPUT_VISIT.fill(wire=quote(p.name), name=p.name)
                             for p in operation.params)
            known = sorted(p.name for p in operation.params)
            method_input = METHOD_INPUT.fill(export=self.export, members=members,
                                             names=quoted_list(known), visits=visits)
        else:
            method_input = NO_METHOD_INPUT.fill()
        return METHOD_CLASS.fill(operation=operation.name, export=self.export,
                                 method=f"{camel_case(operation.name)}Method",
                                 result=names.result(operation.result), input=method_input)

    def method_definitions(self, operation):
        return METHOD_DEFINITIONS.fill(
            method=f"{camel_case(operation.name)}Method", operation=quote(operation.name),
            errors="".join(ERROR_DEFINITION.fill(error=e) for e in operation.errors))

    # -- Stub --

    def stub_files(self, service, directory):
        names = Names(self.package, service)
        identifier = service.identifier(self.package.name)
        namespaces = self.namespaces(service)
        self.header(f"{directory}/stub.h", STUB_PURPOSE.fill(identifier=identifier),
                    {"<future>", "<memory>", f'"{self.root}/export.h"',
                     '"tirn/runtime/call/call_result.h"', '"tirn/stub/async_api_stub.h"',
                     f'"{self.root}/{directory}/service.h"'},
                    STUB_H.fill(
                        open_namespaces=open_namespaces(namespaces), identifier=identifier,
                        export=self.export,
                        calls="".join(STUB_CALL_DECLARATION.fill(call=self.call(op, names))
                                      for op in service.operations),
                        future_calls="".join(
                            FUTURE_CALL_DECLARATION_LINE.fill(
                                call=self.future_call(op, names, True))
                            for op in service.operations),
                        close_namespaces=close_namespaces(namespaces)))
        calls, future_calls = [], []
        for operation in service.operations:
            method = f"{camel_case(operation.name)}Method"
            calls.append(STUB_CALL.fill(
                call=self.call(operation, names), method=method,
                fills="".join(INPUT_FILL.fill(name=p.name) for p in operation.params)))
            future_calls.append(STUB_FUTURE_CALL.fill(
                call=self.future_call(operation, names, False), method=method,
                operation=camel_case(operation.name),
                arguments="".join(ARGUMENT.fill(name=p.name) for p in operation.params)))
        self.source(f"{directory}/stub.cc",
                    [f'"{self.root}/{directory}/stub.h"', '"tirn/runtime/call/future_call.h"',
                     '"tirn/stub/async_method_invoker.h"'],
                    STUB_CC.fill(open_namespaces=open_namespaces(namespaces),
                                 calls="".join(calls), future_calls="".join(future_calls),
                                 close_namespaces=close_namespaces(namespaces)))

    # -- Binder --

    def binder_files(self, service, directory):
        names = Names(self.package, service)
        identifier = service.identifier(self.package.name)
        namespaces = self.namespaces(service)
        builders = "".join(
            METHOD_BUILDER_DECLARATION.fill(export=self.export,
                                            operation=camel_case(op.name),
                                            types=self.call_types(op, names))
            for op in service.operations)
        self.header(f"{directory}/binder.h", BINDER_PURPOSE.fill(identifier=identifier),
                    {"<memory>", f'"{self.root}/export.h"', '"tirn/runtime/call/api_method.h"',
                     '"tirn/runtime/l10n/localizer.h"', '"tirn/provider/async_api_method_signal.h"',
                     f'"{self.root}/{directory}/service.h"'},
                    BINDER_H.fill(open_namespaces=open_namespaces(namespaces),
                                  identifier=identifier, export=self.export, builders=builders,
                                  close_namespaces=close_namespaces(namespaces)))
        builders = "".join(
            METHOD_BUILDER_DEFINITION.fill(
                operation=camel_case(op.name), method=f"{camel_case(op.name)}Method",
                input=NAMED_INPUT if op.params else "",
                arguments="".join(INPUT_ARGUMENT.fill(name=p.name) for p in op.params))
            for op in service.operations)
        methods = "".join(BIND_METHOD.fill(operation=camel_case(op.name))
                          for op in service.operations)
        self.source(f"{directory}/binder.cc",
                    [f'"{self.root}/{directory}/binder.h"',
                     '"tirn/provider/async_api_method_filter.h"'],
                    BINDER_CC.fill(open_namespaces=open_namespaces(namespaces),
                                   builders=builders, methods=methods,
                                   close_namespaces=close_namespaces(namespaces)))

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
            STRUCT_INFO_DECLARATION.fill(export=self.export, type=names.qualified(s))
            for s, _ in records)
        self.header(f"{directory}/metadata.h",
                    METADATA_PURPOSE.fill(identifier=service.identifier(self.package.name)),
                    {"<memory>", f'"{self.root}/export.h"', '"tirn/metadata/struct_info.h"',
                     f'"{self.root}/{directory}/types.h"'},
                    METADATA_H.fill(declarations=declarations))
        definitions = []
        for structure, ids in records:
            metadata_name = ".".join([self.package.name, service.subpackage,
                                      camel_case(service.name), structure.name])
            fields = "".join(
                RESOURCE_FIELD.fill(field=quote(f.name),
                                    resource=quote(self.package.name + "." + f.type.resource))
                for f in ids)
            definitions.append(STRUCT_INFO_DEFINITION.fill(
                type=names.qualified(structure), fields=fields, name=quote(metadata_name)))
        self.source(f"{directory}/metadata.cc", [f'"{self.root}/{directory}/metadata.h"'],
                    METADATA_CC.fill(definitions="".join(definitions)))

    # -- The table of operations --

    @staticmethod
    def field_annotations(fields, target):
        """The annotation lines of `fields`: an enumeration field's names, a union case's tag
        and values."""
        lines = []
        for item in fields:
            if isinstance(item.type.target, Enumeration):
                lines.append(ENUMERATION_ANNOTATION.fill(
                    target=target, field=quote(item.name),
                    names=quoted_list(item.type.target.values)))
            if item.case_tag:
                lines.append(UNION_CASE_ANNOTATION.fill(
                    target=target, field=quote(item.name), tag=quote(item.case_tag),
                    values=quoted_list(item.case_values)))
        return "".join(lines)

    def operations_files(self):
        parts = namespace_parts(self.package.name)
        self.header("operations.h", OPERATIONS_PURPOSE.fill(package=self.package.name),
                    {f'"{self.root}/export.h"', '"tirn/runtime/call/operation_table.h"',
                     "<string>"},
                    OPERATIONS_H.fill(open_namespaces=open_namespaces(parts), export=self.export,
                                      close_namespaces=close_namespaces(parts)))
        rows, inputs = [], []
        includes = [f'"{self.root}/operations.h"']
        structures = [self.field_annotations(
            structure.fields,
            STRUCTURE_TARGET.fill(wire=quote(structure.wire_name(self.package.name))))
            for structure in self.package.structures]
        for service in self.package.services:
            includes.append(f'"{self.root}/{service.subpackage}/{service.name}/service.h"')
            ns = "::" + "::".join(self.namespaces(service))
            structures += [self.field_annotations(
                structure.fields,
                STRUCTURE_TARGET.fill(wire=quote(structure.wire_name(self.package.name))))
                for structure in service.structures]
            for operation in service.operations:
                fields = self.field_annotations(operation.params, INPUT_TARGET)
                argument = ""
                if fields:
                    function = (camel_case(service.subpackage) + camel_case(service.name) +
                                camel_case(operation.name) + "InputAnnotations")
                    inputs.append(INPUT_ANNOTATIONS.fill(
                        service=f"{service.subpackage}.{service.name}", operation=operation.name,
                        function=function, fields=fields))
                    argument = INPUT_ANNOTATIONS_ARGUMENT.fill(function=function)
                rows.append(OPERATION_ROW.fill(
                    identifier=quote(service.identifier(self.package.name)),
                    service=quote(service.subpackage + "." + service.name),
                    operation=quote(operation.name),
                    method=f"{ns}::{camel_case(operation.name)}Method",
                    input_annotations=argument))
        self.source("operations.cc", includes, OPERATIONS_CC.fill(
            open_namespaces=open_namespaces(parts), structures="".join(structures),
            inputs="".join(inputs), package=quote(self.package.name),
            rows="".join(rows), close_namespaces=close_namespaces(parts)))

    # -- The OpenAPI document, as a file and inside the library --

    def openapi_files(self):
        statuses = self.statuses or read_status_table(default_status_table())
        text = OpenApi(self.package, self.description, statuses).text()
        self.files[f"{self.root}/openapi.json"] = text
        parts = namespace_parts(self.package.name)
        self.source("openapi_document.cc", [f'"{self.root}/operations.h"'],
                    OPENAPI_CC.fill(open_namespaces=open_namespaces(parts),
                                    pieces=raw_string_pieces(text, OPENAPI_PIECE),
                                    close_namespaces=close_namespaces(parts)))

    def umbrella(self):
        includes = {f'"{self.root}/types.h"', f'"{self.root}/operations.h"'}
        for service in self.package.services:
            directory = f"{self.root}/{service.subpackage}/{service.name}"
            includes |= {f'"{directory}/types.h"', f'"{directory}/service.h"',
                         f'"{directory}/stub.h"', f'"{directory}/binder.h"'}
            if any(f.type.base == "id" for s in service.structures for f in s.fields):
                includes.add(f'"{directory}/metadata.h"')
        name = self.package.name.split(".")[-1]
        self.header(f"{name}.h", UMBRELLA_PURPOSE.fill(package=self.package.name), includes, "")


# ---- The OpenAPI document ------------------------------------------------------------------
#
# The package's calls as the HTTP transport carries them (docs/protocol.md), in the JSON form
# of docs/json.md: a POST path per operation, a schema per structure, enumeration, operation
# input and error, and every error an operation may be answered with under the status the
# server gives it. The statuses are read from the server's own table (error_statuses.def);
# nothing here spells one.

OPENAPI_VERSION = "3.1.0"
STANDARD_PREFIX = "com.ostrel.tirn.std."
ERRORS_PREFIX = STANDARD_PREFIX + "errors."
LOCALIZABLE_MESSAGE = STANDARD_PREFIX + "localizable_message"
PATH_PREFIX = "/v1/"
JSON_TYPE = "application/json"
STREAM_TYPE = "application/x-ndjson"
STATUS_TABLE = "error_statuses.def"

# The errors every operation may be answered with besides its declared ones: the runtime's own
# (an input that does not match, an output or error that breaks the declaration, an interface
# the server does not serve, and what a transport reports to an implementation that calls on),
# then the authenticator's and the authorizer's.
RUNTIME_ERRORS = ["InvalidArgument", "OperationNotFound", "InternalServerError",
                  "ServiceUnavailable", "TimedOut"]
ACCESS_ERRORS = ["Unauthenticated", "Unauthorized"]


def error_name(error):
    """NotFound -> com.ostrel.tirn.std.errors.not_found."""
    return ERRORS_PREFIX + snake_case(error)


def status_phrase(status):
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return f"Status {status}"


def schema_ref(name):
    return {"$ref": f"#/components/schemas/{name}"}


def nullable(schema):
    return {"anyOf": [schema, {"type": "null"}]}


@dataclass
class Refusal:
    status: int
    error: str
    operations: bool


@dataclass
class StatusTable:
    """The server's error statuses, as error_statuses.def gives them."""
    statuses: Dict[str, int]
    other: int
    refusals: List[Refusal]

    def status(self, name):
        return self.statuses.get(name, self.other)


STATUS_LINES = [
    ("TIRN_ERROR_STATUS", re.compile(r'TIRN_ERROR_STATUS\("([a-z0-9_.]+)", *([1-5][0-9][0-9])\)$')),
    ("TIRN_OTHER_ERROR_STATUS", re.compile(r"TIRN_OTHER_ERROR_STATUS\(([1-5][0-9][0-9])\)$")),
    ("TIRN_REFUSAL_STATUS", re.compile(
        r'TIRN_REFUSAL_STATUS\([A-Za-z]+, *([1-5][0-9][0-9]), *"([a-z0-9_.]+)", *([01])\)$')),
]


def default_status_table():
    """The table beside the installed generator, or in the source tree it comes from."""
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (os.path.join(here, STATUS_TABLE),
                      os.path.join(here, "..", "tirn", "http", STATUS_TABLE)):
        if os.path.exists(candidate):
            return candidate
    return os.path.join(here, STATUS_TABLE)


def read_status_table(path):
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
    except OSError as error:
        raise DescriptionError(path, 1, f"cannot read the table of error statuses: "
                                        f"{error.strerror}")
    statuses, other, refusals = {}, None, []
    for number, line in enumerate(lines, start=1):
        text = line.strip()
        if not text.startswith("TIRN_"):
            continue
        for macro, pattern in STATUS_LINES:
            if text.startswith(macro + "("):
                match = pattern.match(text)
                break
        else:
            match = None
        if match is None:
            raise DescriptionError(path, number, f"cannot read the status line '{text}'")
        if macro == "TIRN_ERROR_STATUS":
            if match.group(1) in statuses:
                raise DescriptionError(path, number, f"'{match.group(1)}' has two statuses")
            statuses[match.group(1)] = int(match.group(2))
        elif macro == "TIRN_OTHER_ERROR_STATUS":
            other = int(match.group(1))
        else:
            refusals.append(Refusal(int(match.group(1)), match.group(2), match.group(3) == "1"))
    if other is None:
        raise DescriptionError(path, len(lines), "the table gives no TIRN_OTHER_ERROR_STATUS")
    return StatusTable(statuses, other, refusals)


# Answers carry numbers; requests may carry the decimal text too, for writers that lose
# precision above 2^53.
INT64_SCHEMA = {
    "anyOf": [{"type": "integer", "format": "int64"},
              {"type": "string", "pattern": "^[+-]?[0-9]+$"}],
}
PROGRESS_FRAME = "com.ostrel.tirn.http.progress_frame"

STANDARD_SCHEMAS = {
    PROGRESS_FRAME: {
        "type": "object",
        "description": "A progress report of a streamed answer.",
        "properties": {"progress": {
            "type": "object",
            "properties": {"current": INT64_SCHEMA, "maximum": INT64_SCHEMA,
                           "minimum": INT64_SCHEMA},
            "required": ["current", "maximum", "minimum"],
        }},
        "required": ["progress"],
    },
    LOCALIZABLE_MESSAGE: {
        "type": "object",
        "description": "A message: its id, its English text with the arguments filled in, the "
                       "arguments, and the text in the caller's language (Accept-Language) "
                       "when the server has it.",
        "properties": {
            "id": {"type": "string"},
            "default_message": {"type": "string"},
            "args": {"type": "array", "items": {"type": "string"}},
            "localized": nullable({"type": "string"}),
        },
        "required": ["id", "default_message", "args"],
    },
}

PARAMETERS = {
    "Accept-Language": {
        "name": "Accept-Language", "in": "header", "required": False,
        "description": "The caller's language preference: error messages come back localized, "
                       "with the English texts beside them.",
        "schema": {"type": "string"}, "example": "de-DE, en;q=0.5",
    },
    "X-Tirn-Time-Zone": {
        "name": "X-Tirn-Time-Zone", "in": "header", "required": False,
        "description": "The caller's time zone.",
        "schema": {"type": "string"}, "example": "Europe/Berlin",
    },
    "X-Tirn-Timeout-Ms": {
        "name": "X-Tirn-Timeout-Ms", "in": "header", "required": False,
        "description": "How many milliseconds the caller still waits, in decimal digits; "
                       "clamped to the server's maximum (one hour by default). The server "
                       "cancels the call when they pass. Anything else is answered 400.",
        "schema": {"type": "integer", "minimum": 1},
    },
    "X-Request-Id": {
        "name": "X-Request-Id", "in": "header", "required": False,
        "description": "The request's id, echoed in the answer and in the server's access log.",
        "schema": {"type": "string"},
    },
    "Idempotency-Key": {
        "name": "Idempotency-Key", "in": "header", "required": False,
        "description": "A key of the caller's own for this call, the same each time it is "
                       "sent. A server that keeps the outcomes of its writes answers a write "
                       "sent again with the same key, by the same caller, from the first "
                       "outcome (marked Idempotent-Replayed) instead of doing it twice, and "
                       "refuses the key with another input (400). Reads ignore it. Anything "
                       "but 1 to 128 visible ASCII characters is answered 400.",
        "schema": {"type": "string", "minLength": 1, "maxLength": 128,
                   "pattern": "^[\\x21-\\x7e]+$"},
        "example": "3f9c2a7e41d05b86c1e9a4f27d3b6e05",
    },
}

HEADERS = {
    "X-Request-Id": {"description": "The request's id, as the request gave it.",
                     "schema": {"type": "string"}},
    "WWW-Authenticate": {"description": "How to authenticate: a bearer token.",
                         "schema": {"type": "string"}},
    "Retry-After": {"description": "Seconds to wait before trying again.",
                    "schema": {"type": "integer"}},
    "Idempotent-Replayed": {
        "description": "'true' when the answer repeats the first answer to the request's "
                       "Idempotency-Key: nothing was done this time. Absent otherwise.",
        "schema": {"type": "string", "enum": ["true"]}},
}

# Headers that answers of a status carry besides X-Request-Id.
STATUS_HEADERS = {401: ["WWW-Authenticate"], 429: ["Retry-After"]}

SECURITY_SCHEMES = {
    "bearer": {
        "type": "http", "scheme": "bearer",
        "description": "Authorization: Bearer <token>, handed to the server's authenticator. "
                       "A server without one accepts anonymous calls.",
    },
}

STREAM_DESCRIPTION = (
    "Sent when the request has 'Accept: application/x-ndjson': newline-delimited JSON, one "
    "frame per line. A progress frame comes as each report happens, then one final frame: the "
    "output ({\"output\": ...}) or an error ({\"error\": \"<name>\", \"value\": {...}}). The "
    "schema is the schema of one line.")

INFO_DESCRIPTION = Template(
    "The operations of $package over HTTP: one POST per operation to "
    "/v1/<interface identifier>/<operation> with the input as a JSON object; a value answer is "
    "200 with the output, an error answer has the status of the error and the body "
    "{\"error\": \"<name>\", \"value\": {...}}. Structures accept fields they do not name and "
    "give them back; an enumeration may hold a name a newer server added.\n\n"
    "Generated by $tool from $description; do not edit.")


class OpenApi:
    """Builds the document of a package as a JSON-ready dict."""

    def __init__(self, package, description, statuses):
        self.package = package
        self.description = description
        self.statuses = statuses
        self.schemas = dict(STANDARD_SCHEMAS)
        self.error_responses = {}
        inputs, outputs = [], []
        for service in package.services:
            for operation in service.operations:
                inputs += [param.type for param in operation.params]
                outputs.append(operation.result)
        self.in_inputs = self.reachable(inputs)
        self.in_outputs = self.reachable(outputs)

    @staticmethod
    def reachable(refs):
        """The structures these types hold, at any depth."""
        found, pending = set(), [ref.target for ref in refs]
        while pending:
            item = pending.pop()
            if isinstance(item, Structure) and item not in found:
                found.add(item)
                pending += [f.type.target for f in item.fields]
        return found

    def wire_name(self, item):
        if isinstance(item, Enumeration):
            return f"{item.service.identifier(self.package.name)}.{snake_case(item.name)}"
        return item.wire_name(self.package.name)

    def element(self, ref, write_only):
        target = ref.target
        if target == "id":
            return {"type": "string",
                    "description": f"Identifies a {self.package.name}.{ref.resource}."}
        if target == "string":
            return {"type": "string"}
        if target == "int64":
            return dict(INT64_SCHEMA)
        if target == "boolean":
            return {"type": "boolean"}
        if target == "secret":
            schema = {"type": "string", "format": "password"}
            if write_only:
                schema["writeOnly"] = True
            return schema
        if target == "external":
            return schema_ref(LOCALIZABLE_MESSAGE)
        return schema_ref(self.wire_name(target))

    def field(self, ref, write_only):
        schema = self.element(ref, write_only)
        if ref.container:
            schema = {"type": "array", "items": schema}
            if ref.container == "set":
                schema["uniqueItems"] = True
        return nullable(schema) if ref.optional else schema

    def output(self, ref):
        if ref.base == "void":
            return {"type": "null"}
        return self.field(ref, False)

    def structure(self, structure):
        write_only = structure in self.in_inputs and structure not in self.in_outputs
        schema = {"type": "object",
                  "properties": {f.name: self.field(f.type, write_only) for f in structure.fields}}
        required = [f.name for f in structure.fields if not f.type.optional]
        if required:
            schema["required"] = required
        # A case is present (not null) exactly when its tag holds one of its values; any other
        # tag, an absent one or a name this description does not know selects no case.
        cases = [{
            "if": {"properties": {f.case_tag: {"enum": list(f.case_values)}},
                   "required": [f.case_tag]},
            "then": {"properties": {f.name: self.element(f.type, write_only)},
                     "required": [f.name]},
            "else": {"properties": {f.name: {"type": "null"}}},
        } for f in structure.fields if f.case_tag]
        if cases:
            schema["allOf"] = cases
        return schema

    @staticmethod
    def enumeration(enumeration):
        return {"type": "string",
                "description": "One of the names listed, or one a newer server added (kept and "
                               "sent back as it came).",
                "anyOf": [{"enum": list(enumeration.values)}, {"type": "string"}]}

    def error_answer(self, name):
        """The body of an error answer or frame: a schema named after the error's, beside the
        error's own."""
        self.schemas.setdefault(name, {
            "type": "object",
            "properties": {"messages": {"type": "array",
                                        "items": schema_ref(LOCALIZABLE_MESSAGE)}},
            "required": ["messages"],
        })
        answer = f"{name}.answer"
        self.schemas.setdefault(answer, {
            "type": "object",
            "properties": {"error": {"const": name}, "value": schema_ref(name)},
            "required": ["error", "value"],
        })
        return schema_ref(answer)

    def error_response(self, status, names):
        """A reference to the answer of a status that carries one of `names`: one response
        per set, shared by the operations that have it."""
        short = [name[len(ERRORS_PREFIX):] for name in names]
        key = ".".join([str(status)] + short)
        if key not in self.error_responses:
            headers = {"X-Request-Id": {"$ref": "#/components/headers/X-Request-Id"},
                       # A write's outcome replayed may be an error too.
                       "Idempotent-Replayed": {
                           "$ref": "#/components/headers/Idempotent-Replayed"}}
            for header_name in STATUS_HEADERS.get(status, []):
                headers[header_name] = {"$ref": f"#/components/headers/{header_name}"}
            answers = [self.error_answer(name) for name in names]
            self.error_responses[key] = {
                "description": f"{status_phrase(status)}: {', '.join(short)}.",
                "headers": headers,
                "content": {JSON_TYPE: {
                    "schema": answers[0] if len(answers) == 1 else {"oneOf": answers}}},
            }
        return {"$ref": f"#/components/responses/{key}"}

    def responses(self, operation, output):
        """The answers of an operation by status: its output, then every error it may get."""
        declared = [error_name(e) for e in operation.errors]
        by_status = {}

        def add(status, name):
            names = by_status.setdefault(status, [])
            if name not in names:
                names.append(name)

        for name in declared + [error_name(e) for e in RUNTIME_ERRORS + ACCESS_ERRORS]:
            add(self.statuses.status(name), name)
        for refusal in self.statuses.refusals:
            if refusal.operations:
                add(refusal.status, refusal.error)

        final_errors = declared + [error_name(e) for e in RUNTIME_ERRORS
                                   if error_name(e) not in declared]
        frames = [schema_ref(PROGRESS_FRAME),
                  {"type": "object", "description": "The output.",
                   "properties": {"output": output}, "required": ["output"]}]
        frames += [self.error_answer(name) for name in final_errors]
        responses = {"200": {
            "description": "The output.",
            "headers": {"X-Request-Id": {"$ref": "#/components/headers/X-Request-Id"},
                        "Idempotent-Replayed": {
                            "$ref": "#/components/headers/Idempotent-Replayed"}},
            "content": {
                JSON_TYPE: {"schema": output},
                STREAM_TYPE: {"schema": {"description": STREAM_DESCRIPTION, "oneOf": frames}},
            },
        }}
        for status in sorted(by_status):
            responses[str(status)] = self.error_response(status, by_status[status])
        return responses

    def signature(self, operation):
        def spell(ref):
            words = (["optional"] if ref.optional else []) + \
                ([ref.container] if ref.container else []) + \
                ([f"id {ref.resource}"] if ref.base == "id" else [ref.base])
            return " ".join(words)
        params = ", ".join(f"{p.name}: {spell(p.type)}" for p in operation.params)
        return f"{operation.name}({params}) -> {spell(operation.result)}"

    def document(self):
        package = self.package
        paths, tags = {}, []
        for structure in package.structures:
            self.schemas[structure.wire_name(package.name)] = self.structure(structure)
        for service in package.services:
            identifier = service.identifier(package.name)
            tag = f"{service.subpackage}.{service.name}"
            tags.append({"name": tag, "description": f"The service {identifier}."})
            for enumeration in service.enumerations:
                self.schemas[self.wire_name(enumeration)] = self.enumeration(enumeration)
            for structure in service.structures:
                self.schemas[structure.wire_name(package.name)] = self.structure(structure)
            for operation in service.operations:
                # Operation inputs share one wire name; each gets a schema named after its
                # operation. The server refuses parameters the operation does not name.
                input_name = f"{identifier}.{operation.name}.input"
                schema = {"type": "object",
                          "properties": {p.name: self.field(p.type, True)
                                         for p in operation.params},
                          "additionalProperties": False}
                required = [p.name for p in operation.params if not p.type.optional]
                if required:
                    schema["required"] = required
                self.schemas[input_name] = schema
                paths[f"{PATH_PREFIX}{identifier}/{operation.name}"] = {"post": {
                    "operationId": f"{tag}.{operation.name}",
                    "summary": self.signature(operation),
                    "tags": [tag],
                    "parameters": [{"$ref": f"#/components/parameters/{name}"}
                                   for name in PARAMETERS],
                    "requestBody": {"required": True, "content": {
                        JSON_TYPE: {"schema": schema_ref(input_name)}}},
                    "responses": self.responses(operation, self.output(operation.result)),
                }}
        return {
            "openapi": OPENAPI_VERSION,
            "info": {"title": package.name, "version": "v1",
                     "description": INFO_DESCRIPTION.fill(package=package.name, tool=TOOL,
                                                          description=self.description)},
            "servers": [{"url": "/", "description": "The server that serves this document."}],
            "security": [{"bearer": []}, {}],
            "tags": tags,
            "paths": paths,
            "components": {
                "schemas": dict(sorted(self.schemas.items())),
                "responses": dict(sorted(self.error_responses.items())),
                "parameters": PARAMETERS,
                "headers": HEADERS,
                "securitySchemes": SECURITY_SCHEMES,
            },
        }

    def text(self):
        return json.dumps(self.document(), indent=2, ensure_ascii=False) + "\n"


# ---- Driver --------------------------------------------------------------------------------

def load(path):
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    package = Parser(path, text).parse()
    Checker(path, package).check()
    return package


def generate(path, description_name=None, statuses_path=None):
    package = load(path)
    statuses = read_status_table(statuses_path or default_status_table())
    return Generator(package, description_name or os.path.basename(path), statuses).run()


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
    parser.add_argument("--statuses", metavar="FILE",
                        help="the server's table of error statuses, error_statuses.def "
                             "(default: beside this tool, or tirn/http/ of its source tree)")
    parser.add_argument("--openapi", metavar="FILE",
                        help="also write the package's OpenAPI document to FILE")
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
        files = generate(args.description, args.name, args.statuses)
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
    if args.openapi:
        document = next(text for name, text in files.items() if name.endswith("/openapi.json"))
        write({os.path.basename(args.openapi): document}, os.path.dirname(args.openapi) or ".")
    return 0


if __name__ == "__main__":
    sys.exit(main())
