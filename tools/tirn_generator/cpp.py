"""The C++ of a package: per service its types, operation descriptors and interface, client
stub, server binder and structure metadata; for the package its shared types, table of
operations (with the annotations the definitions cannot hold: each enumeration field's names,
each union case's tag values), its OpenAPI document compiled in, its export macro and an
umbrella header. The text of every file is one of the templates of cpp_templates.py; the code
here computes the pieces that fill them."""

import re
import textwrap
from dataclasses import dataclass
from typing import Optional

from .cpp_templates import (ADD_FIELDS, ADD_NO_FIELDS, ARGUMENT, BANNER, BINDER_CC, BINDER_H,
                            BINDER_PURPOSE, BIND_METHOD, CALL, CALL_PARAMETER, CALL_PARAMETER_TYPE,
                            CALL_TYPES, DECLARE_ROUTINES, DEFAULT_INSTANCE_DECLARATION,
                            DEFAULT_INSTANCE_DEFINITION, DEFINE_ROUTINES, DESCRIPTION_ARGUMENT,
                            ENUMERATION_ANNOTATION, ENUMERATION_CLASS,
                            ENUMERATION_DESCRIPTIONS_ANNOTATION, ENUMERATION_MEANING, ENUM_VALUE,
                            ERROR_DEFINITION, EXPORT_H, EXPORT_PURPOSE,
                            FIELD_DESCRIPTION_ANNOTATION, FIELD_VISIT, FUTURE_CALL_DECLARATION,
                            FUTURE_CALL_DECLARATION_LINE, FUTURE_CALL_DEFINITION, HEADER_FILE,
                            INCLUDE, INPUT_ANNOTATIONS, INPUT_ANNOTATIONS_ARGUMENT, INPUT_ARGUMENT,
                            INPUT_FILL, INPUT_MEMBER, INPUT_NAME_NOTE, INPUT_TARGET, INPUT_VISIT,
                            INTERFACE_NAME_NOTE, INTERFACE_OPERATION, KNOWN_NAMES, MEMBER,
                            METADATA_CC, METADATA_H, METADATA_PURPOSE, METHOD_BUILDER_DECLARATION,
                            METHOD_BUILDER_DEFINITION, METHOD_CLASS, METHOD_DEFINITIONS,
                            METHOD_INPUT, NAMED_INPUT, NAMESPACE_CLOSE, NAMESPACE_OPEN,
                            NO_DESCRIPTION_ARGUMENT, NO_INPUT_ANNOTATIONS_ARGUMENT, NO_KNOWN_NAMES,
                            NO_METHOD_INPUT,
                            OPENAPI_CC, OPENAPI_PIECE, OPERATIONS_CC, OPERATIONS_H,
                            OPERATIONS_PURPOSE, OPERATION_INPUT_NAME, OPERATION_ROW, OWN_NAME,
                            RESOURCE_FIELD, RESOURCE_TYPE_DECLARATION, RESOURCE_TYPE_DEFINITION,
                            SERVICE_CC, SERVICE_DESCRIPTION, SERVICE_DESCRIPTION_ARGUMENT,
                            SERVICE_H, SERVICE_PURPOSE, SERVICE_TYPES_PURPOSE,
                            SHARED_TYPES_PURPOSE, SOURCE_FILE, STRUCTURE_CLASS,
                            STRUCTURE_DECLARATION, STRUCTURE_DECLARATIONS,
                            STRUCTURE_DESCRIPTION_ANNOTATION, STRUCTURE_OPERATORS,
                            STRUCTURE_TARGET, STRUCT_INFO_DECLARATION, STRUCT_INFO_DEFINITION,
                            STUB_CALL, STUB_CALL_DECLARATION, STUB_CC, STUB_FUTURE_CALL, STUB_H,
                            STUB_PURPOSE, TYPES_CC, TYPES_H, TYPE_INFO_BLOCK,
                            TYPE_INFO_DECLARATION, TYPE_INFO_DEFINITION, UMBRELLA_PURPOSE,
                            UNION_ANNOTATIONS, UNION_CASES, UNION_CASE_ANNOTATION,
                            UNION_CASE_VISIT)
from .model import (EXTERNAL_STRUCTURES, PRIMITIVES, Enumeration, Structure, camel_case,
                    is_structure, namespace_parts, package_path, service_namespace, snake_case)
from .template import TOOL


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
    """`text` as a C++ string literal. A "?" after a "?" is escaped, so that no two of them
    start a trigraph; a line break is written as \\n."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return '"' + re.sub(r"(?<=\?)\?", r"\\?", escaped) + '"'


def quote_lines(text, indent):
    """`text` as string literals that follow each other, one per line indented by `indent`
    spaces, each of at most 80 characters of the text where its words allow."""
    pieces = textwrap.wrap(text, width=80, drop_whitespace=False, replace_whitespace=False,
                           break_long_words=False, break_on_hyphens=False)
    return "\n".join(" " * indent + quote(piece) for piece in pieces)


def comment(text, indent):
    """A description as // comment lines indented by `indent` spaces, at most 100 columns
    wide where its words allow, an empty comment line between paragraphs; "" for no text. A
    word that ends in a backslash (or in ??/, the trigraph of one) is put in backticks: a
    comment line that ends in one would go on into the line below it."""
    prefix = " " * indent + "// "
    lines = []
    for paragraph in text.split("\n\n") if text else []:
        if lines:
            lines.append(prefix.rstrip())
        words = [f"`{word}`" if word.endswith(("\\", "??/")) else word
                 for word in paragraph.split(" ")]
        lines += textwrap.wrap(" ".join(words), width=100, initial_indent=prefix,
                               subsequent_indent=prefix, break_long_words=False,
                               break_on_hyphens=False)
    return "".join(line + "\n" for line in lines)


def lead_comment(text):
    """A description as the comment lines that come before what every such declaration says,
    an empty comment line between them; "" for no text."""
    return comment(text, 0) + "//\n" if text else ""


def quoted_list(words):
    return ", ".join(quote(word) for word in words)


def namespaces_of(package, service):
    """The C++ namespaces of a service (or, for None, of the package), outermost first."""
    return namespace_parts(package.name) + (service_namespace(service) if service else [])


def call(operation, names):
    """The operation's call with a result handle, as the interface declares it."""
    return CALL.fill(operation=camel_case(operation.name), parameters="".join(
        CALL_PARAMETER.fill(type=names.member(p.type), name=p.name)
        for p in operation.params))


def call_types(operation, names):
    return CALL_TYPES.fill(operation=camel_case(operation.name), parameters="".join(
        CALL_PARAMETER_TYPE.fill(type=names.member(p.type)) for p in operation.params))


def future_call(operation, names, declaration):
    """The operation's call returning a future: its declaration (with the activation's
    default) or the stub's definition."""
    template = FUTURE_CALL_DECLARATION if declaration else FUTURE_CALL_DEFINITION
    return template.fill(operation=camel_case(operation.name), parameters="".join(
        CALL_PARAMETER.fill(type=names.member(p.type), name=p.name)
        for p in operation.params))


@dataclass
class BoundType:
    """A native type the bindings know by name: it gets a TypeInfo specialisation and, for a
    structure or an operation input, the conversion routines."""
    type: str                     # the qualified native type
    wire: Optional[str]           # its wire name; None for an operation input
    note: str = ""                # a comment on its name, if any
    default_instance: bool = False
    routines: bool = False


# ---- The files -----------------------------------------------------------------------------

class CppFiles:
    """The C++ files of a package, by path under the generated include root. The library
    holds the package's OpenAPI document too, as `document` gives its text."""

    def __init__(self, package, description, document):
        self.package = package
        self.description = description
        self.document = document
        self.root = package_path(package.name)
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
        self.openapi_document()
        self.export_file()
        self.umbrella()
        return self.files

    def export_file(self):
        self.header("export.h", EXPORT_PURPOSE.fill(export=self.export), set(),
                    EXPORT_H.fill(export=self.export))

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
        namespaces = namespaces_of(self.package, service)
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
        docs = enumeration.value_docs + [""]
        return ENUMERATION_CLASS.fill(
            export=self.export, name=enumeration.name, values=", ".join(enumeration.values),
            doc=lead_comment(enumeration.doc),
            enumerators="".join(ENUM_VALUE.fill(name=v, number=i, doc=comment(d, 4))
                                for i, (v, d) in enumerate(zip(values, docs))),
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
                                      initializer=names.initializer(item.type),
                                      doc=comment(item.doc, 2))
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
            doc=comment(structure.doc, 0),
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
        namespaces = namespaces_of(self.package, service)
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
                        doc=lead_comment(service.doc),
                        operations="".join(INTERFACE_OPERATION.fill(signature=call(op, names),
                                                                    doc=comment(op.doc, 2))
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

    def method_class(self, operation, names):
        if operation.params:
            members = "".join(INPUT_MEMBER.fill(type=names.member(p.type), name=p.name,
                                                doc=comment(p.doc, 4))
                              for p in operation.params)
            visits = "".join(INPUT_VISIT.fill(wire=quote(p.name), name=p.name)
                             for p in operation.params)
            known = sorted(p.name for p in operation.params)
            method_input = METHOD_INPUT.fill(export=self.export, members=members,
                                             names=quoted_list(known), visits=visits)
        else:
            method_input = NO_METHOD_INPUT.fill()
        return METHOD_CLASS.fill(operation=operation.name, export=self.export,
                                 doc=comment(operation.doc, 0),
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
        namespaces = namespaces_of(self.package, service)
        self.header(f"{directory}/stub.h", STUB_PURPOSE.fill(identifier=identifier),
                    {"<future>", "<memory>", f'"{self.root}/export.h"',
                     '"tirn/runtime/call/call_result.h"', '"tirn/stub/async_api_stub.h"',
                     f'"{self.root}/{directory}/service.h"'},
                    STUB_H.fill(
                        open_namespaces=open_namespaces(namespaces), identifier=identifier,
                        export=self.export,
                        calls="".join(STUB_CALL_DECLARATION.fill(call=call(op, names))
                                      for op in service.operations),
                        future_calls="".join(
                            FUTURE_CALL_DECLARATION_LINE.fill(
                                call=future_call(op, names, True))
                            for op in service.operations),
                        close_namespaces=close_namespaces(namespaces)))
        calls, future_calls = [], []
        for operation in service.operations:
            method = f"{camel_case(operation.name)}Method"
            calls.append(STUB_CALL.fill(
                call=call(operation, names), method=method,
                fills="".join(INPUT_FILL.fill(name=p.name) for p in operation.params)))
            future_calls.append(STUB_FUTURE_CALL.fill(
                call=future_call(operation, names, False), method=method,
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
        namespaces = namespaces_of(self.package, service)
        builders = "".join(
            METHOD_BUILDER_DECLARATION.fill(export=self.export,
                                            operation=camel_case(op.name),
                                            types=call_types(op, names))
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
    def structure_annotations(structure, package):
        """The annotation lines of a structure: its description, its fields'."""
        target = STRUCTURE_TARGET.fill(wire=quote(structure.wire_name(package)))
        described = (STRUCTURE_DESCRIPTION_ANNOTATION.fill(target=target,
                                                           text=quote_lines(structure.doc, 6))
                     if structure.doc else "")
        return described + CppFiles.field_annotations(structure.fields, target)

    @staticmethod
    def field_annotations(fields, target):
        """The annotation lines of `fields`: an enumeration field's names, a union case's tag
        and values, a field's description."""
        lines = []
        for item in fields:
            if item.doc:
                lines.append(FIELD_DESCRIPTION_ANNOTATION.fill(
                    target=target, field=quote(item.name), text=quote_lines(item.doc, 6)))
            if isinstance(item.type.target, Enumeration):
                enumeration = item.type.target
                lines.append(ENUMERATION_ANNOTATION.fill(
                    target=target, field=quote(item.name), names=quoted_list(enumeration.values)))
                meanings = "".join(
                    ENUMERATION_MEANING.fill(name=quote(value), text=quote_lines(doc, 7))
                    for value, doc in zip(enumeration.values, enumeration.value_docs) if doc)
                if meanings:
                    lines.append(ENUMERATION_DESCRIPTIONS_ANNOTATION.fill(
                        target=target, field=quote(item.name), meanings=meanings))
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
        structures = [self.structure_annotations(structure, self.package.name)
                      for structure in self.package.structures]
        for service in self.package.services:
            includes.append(f'"{self.root}/{service.subpackage}/{service.name}/service.h"')
            ns = "::" + "::".join(namespaces_of(self.package, service))
            structures += [self.structure_annotations(structure, self.package.name)
                           for structure in service.structures]
            service_constant = ""
            if service.doc:
                service_constant = ("k" + camel_case(service.subpackage) +
                                    camel_case(service.name) + "Description")
                inputs.append(SERVICE_DESCRIPTION.fill(
                    service=f"{service.subpackage}.{service.name}", constant=service_constant,
                    text=quote_lines(service.doc, 4)))
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
                description = ""
                if operation.doc or service_constant:
                    argument = argument or NO_INPUT_ANNOTATIONS_ARGUMENT
                    description = (DESCRIPTION_ARGUMENT.fill(text=quote_lines(operation.doc, 7))
                                   if operation.doc else NO_DESCRIPTION_ARGUMENT)
                if service_constant:
                    description += SERVICE_DESCRIPTION_ARGUMENT.fill(constant=service_constant)
                rows.append(OPERATION_ROW.fill(
                    identifier=quote(service.identifier(self.package.name)),
                    service=quote(service.subpackage + "." + service.name),
                    operation=quote(operation.name),
                    method=f"{ns}::{camel_case(operation.name)}Method",
                    input_annotations=argument, description=description))
        self.source("operations.cc", includes, OPERATIONS_CC.fill(
            open_namespaces=open_namespaces(parts), structures="".join(structures),
            inputs="".join(inputs), package=quote(self.package.name),
            rows="".join(rows), close_namespaces=close_namespaces(parts)))

    # -- The OpenAPI document inside the library --

    def openapi_document(self):
        parts = namespace_parts(self.package.name)
        self.source("openapi_document.cc", [f'"{self.root}/operations.h"'],
                    OPENAPI_CC.fill(open_namespaces=open_namespaces(parts),
                                    pieces=raw_string_pieces(self.document, OPENAPI_PIECE),
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
