"""The package as a description declares it: services, their enumerations, structures and
operations, the types that fields name, the documentation of each (`doc`: paragraphs separated
by an empty line, each on one line; "" when there is none), and the naming rules that turn
those names into C++ and wire names."""

import re
from dataclasses import dataclass, field
from typing import List, Optional

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
    doc: str = ""


@dataclass(eq=False)
class Structure:
    line: int
    name: str
    fields: List[Field] = field(default_factory=list)
    service: Optional["Service"] = None
    doc: str = ""

    def wire_name(self, package):
        scope = self.service.identifier(package) if self.service else package
        return f"{scope}.{snake_case(self.name)}"


@dataclass(eq=False)
class Enumeration:
    line: int
    name: str
    values: List[str] = field(default_factory=list)
    value_lines: List[int] = field(default_factory=list)
    value_docs: List[str] = field(default_factory=list)
    service: Optional["Service"] = None
    doc: str = ""


@dataclass(eq=False)
class Operation:
    line: int
    name: str
    result: TypeRef
    params: List[Field] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)
    errors_line: int = 0
    doc: str = ""


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
    doc: str = ""

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


def package_path(package):
    """com.example.shop -> com/example/shop, the package's folder under the include root."""
    return "/".join(package.split("."))


def namespace_parts(package):
    return [camel_case(part) for part in package.split(".")]


def service_namespace(service):
    return [camel_case(service.subpackage), camel_case(service.name) + "Svc"]


def is_structure(ref):
    return isinstance(ref.target, Structure) or ref.target == "external"
