"""Tests of the package generator: every mistake it can see in a description is reported with
the description's line, and a good description generates the expected files."""

import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from tirn_generator.command import generate, main  # noqa: E402
from tirn_generator.cpp import raw_string_delimiter  # noqa: E402
from tirn_generator.cpp_templates import OPENAPI_PIECE  # noqa: E402
from tirn_generator.model import DescriptionError  # noqa: E402
from tirn_generator.template import Template, TemplateError  # noqa: E402

GOOD = """\
package com.example.shop

structure Address
  street: string

service store.items
  resource store.item

  enumeration Kind
    BOOK
    GAME

  structure Detail
    pages: int64

  structure Item
    item: id store.item
    kind: Kind
    detail: optional Detail  case kind BOOK
    tags: optional set string
    where: list Address

  operation get -> Item
    item: string
    errors NotFound Error

  operation list -> list Item
    errors Error
"""


@contextlib.contextmanager
def temporary_file(text, suffix):
    """The path of a file holding `text`, removed afterwards."""
    handle = tempfile.NamedTemporaryFile("w", suffix=suffix, delete=False)
    handle.write(text)
    handle.close()
    try:
        yield handle.name
    finally:
        os.unlink(handle.name)


def described(text):
    """The path of a description file holding `text`, removed afterwards."""
    return temporary_file(textwrap.dedent(text), ".tidl")


def generated(text, name=None, statuses=None):
    """The files generated from a description."""
    with described(text) as path:
        return generate(path, name, statuses)


class GeneratorErrors(unittest.TestCase):
    def assertFails(self, text, line, fragment):
        with described(text) as path, self.assertRaises(DescriptionError) as raised:
            generate(path)
        message = str(raised.exception)
        self.assertTrue(message.startswith(f"{path}:{line}: error: "), message)
        self.assertIn(fragment, message)

    def replace(self, old, new):
        self.assertIn(old, GOOD)
        return GOOD.replace(old, new, 1)

    def test_mistakes_name_their_line(self):
        cases = [
            ("duplicate field", self.replace("    tags: optional set string",
                                             "    tags: optional set string\n    kind: string"),
             21, "field 'kind' is declared twice"),
            ("not a standard error", self.replace("errors NotFound Error", "errors NotFound Oops"),
             25, "'Oops' is not a standard error"),
            ("tag is not an enumeration", self.replace("case kind BOOK", "case item BOOK"), 19,
             "not an enumeration field"),
            ("tag is not a field", self.replace("case kind BOOK", "case sort BOOK"), 19,
             "'sort', which is not a field"),
            ("case value not an enumerator", self.replace("case kind BOOK", "case kind MOVIE"), 19,
             "'MOVIE' is not a value of 'Kind'"),
            ("case must be optional structure",
             self.replace("detail: optional Detail  case", "detail: Detail  case"), 19,
             "must be an optional structure"),
            ("unknown resource", self.replace("item: id store.item", "item: id store.thing"), 17,
             "unknown resource 'store.thing'"),
            ("duplicate structure", self.replace("  structure Item\n", "  structure Detail\n"),
             16, "'Detail' is declared twice"),
            ("duplicate enumerator", self.replace("    GAME\n", "    BOOK\n"), 11,
             "enumerator 'BOOK' is declared twice"),
            ("duplicate operation", self.replace("operation list", "operation get"), 27,
             "operation 'get' is declared twice"),
            ("operation without errors",
             self.replace("    errors Error\n", ""), 27, "declares no errors"),
            ("set of structures", self.replace("where: list Address", "where: set Address"), 21,
             "a set of structures is not supported"),
            ("keyword as field", self.replace("street: string", "class: string"), 4,
             "'class' cannot be a field name"),
            ("bad keyword", self.replace("  resource store.item", "  resources store.item"), 7,
             "found 'resources'"),
            ("tab indentation", self.replace("  street: string", "\tstreet: string"), 4,
             "indent with spaces"),
            ("documented package", "/// The shop.\n" + GOOD, 1, "'package' takes no "
             "documentation comment"),
            ("documented errors",
             self.replace("    errors Error\n", "    /// x\n    errors Error\n"), 28,
             "'errors' takes no documentation comment"),
            ("documentation apart from its declaration",
             self.replace("  structure Detail", "  /// Details.\n\n  structure Detail"), 13,
             "must come right before the declaration"),
            ("documentation indented otherwise",
             self.replace("  structure Detail", "    /// Details.\n  structure Detail"), 13,
             "must be indented as the declaration"),
            ("documentation at the end", GOOD + "  /// Nothing follows.\n", 29,
             "must come right before the declaration"),
            ("empty documentation", self.replace("  structure Detail", "  ///\n  structure Detail"),
             13, "the documentation comment is empty"),
            ("documentation with a control character",
             self.replace("  structure Detail", "  /// A bell \a.\n  structure Detail"), 13,
             "control characters"),
        ]
        for name, text, line, fragment in cases:
            with self.subTest(name):
                self.assertFails(text, line, fragment)

    def test_command_line_writes_nothing_for_a_mistake_and_only_what_changes(self):
        with described(GOOD.replace("pages: int64", "pages: integer")) as bad, \
                described(GOOD) as good, tempfile.TemporaryDirectory() as output:
            self.assertEqual(main([bad, "--output", output]), 1)
            self.assertEqual(os.listdir(output), [])
            self.assertEqual(main([good, "--output", output]), 0)
            target = os.path.join(output, "com/example/shop/store/items/types.h")
            before = os.stat(target).st_mtime_ns
            self.assertEqual(main([good, "--output", output]), 0)
            self.assertEqual(os.stat(target).st_mtime_ns, before)


class GeneratorOutput(unittest.TestCase):
    # (That every listed file is written, with the type info and conversion routines of every
    # bound type, each exported under its package's macro, the compiled packages' builds and
    # tests show: CMake builds what --list names, with hidden visibility.)
    def test_generated_sources_name_their_maker_and_no_other_librarys_export(self):
        for name, text in generated(GOOD).items():
            if name.endswith(".json"):
                continue
            self.assertTrue(text.startswith("// Generated by tools/tirn_generate.py"), name)
            # The package exports its symbols under its own macro, never another library's.
            self.assertNotIn("TIRN_BINDINGS_EXPORT", text, name)

    def test_annotations_sit_beside_the_table(self):
        # An operation's enumeration parameters in a function of their own that its row names,
        # since every input shares one wire name. (The package's structures' annotations:
        # OperationsEndpoint.ServesEveryOperationOfItsTable, Describe.*.)
        text = GOOD.replace("  operation list -> list Item\n",
                            "  operation list -> list Item\n    kind: optional set Kind\n")
        source = generated(text)["com/example/shop/operations.cc"]
        self.assertIn('input.enumerations["kind"] = {"BOOK", "GAME"};', source)
        rows = re.findall(r'\{"com\.example\.shop\.store\.items", [^}]*\}', source)
        self.assertEqual(len(rows), 2, source)
        self.assertNotIn("InputAnnotations", rows[0])
        self.assertIn("&StoreItemsListInputAnnotations", rows[1])

STATUSES = os.path.join(os.path.dirname(__file__), "..", "tirn", "http", "error_statuses.def")


def document(text, statuses=None, name=None):
    """The OpenAPI document generated from a description, and the generated files."""
    files = generated(text, name, statuses)
    return json.loads(files["com/example/shop/openapi.json"]), files


def answers(doc, path, status):
    """The error names the answer of `status` carries: its schemas' "<error>.answer" names."""
    response = doc["paths"][path]["post"]["responses"][status]
    response = doc["components"]["responses"][response["$ref"].split("/")[-1]]
    schema = response["content"]["application/json"]["schema"]
    refs = [choice["$ref"] for choice in schema.get("oneOf", [schema])]
    return [ref.split("/")[-1][:-len(".answer")] for ref in refs]


def table_with(replacements):
    """The path of a copy of the server's status table with lines replaced, removed afterwards."""
    with open(STATUSES, encoding="utf-8") as handle:
        text = handle.read()
    for old, new in replacements:
        if old not in text:
            raise AssertionError(f"{old!r} is not in the table")
        text = text.replace(old, new)
    return temporary_file(text, ".def")


class OpenApiDocument(unittest.TestCase):
    GET = "/v1/com.example.shop.store.items/get"
    LIST = "/v1/com.example.shop.store.items/list"
    ERRORS = "com.ostrel.tirn.std.errors."

    def test_answers_follow_the_servers_status_table(self):
        # (name, table lines replaced, path, status, the errors its answer carries). (That a
        # declared error and the runtime's share a status: openapi_cases.json, "404 carries...")
        cases = [
            ("undeclared not_found", [], self.LIST, "404", "operation_not_found"),
            ("the generic error beside the runtime's", [], self.GET, "500",
             "error internal_server_error"),
            ("a caller at its limit", [], self.LIST, "429", "unable_to_allocate_resource"),
            ("a status changed in the table",
             [('errors.not_found", 404)', 'errors.not_found", 410)')], self.GET, "410",
             "not_found"),
            ("a refusal changed in the table",
             [("(BodyTooLarge, 413,", "(BodyTooLarge, 419,")], self.GET, "419",
             "invalid_argument"),
            ("an error the table drops takes the others' status",
             [('TIRN_ERROR_STATUS("com.ostrel.tirn.std.errors.timed_out", 504)\n', "")],
             self.LIST, "500", "error internal_server_error timed_out"),
        ]
        for name, replacements, path, status, expected in cases:
            with self.subTest(name):
                with table_with(replacements) as table:
                    doc, _ = document(GOOD, table)
                self.assertEqual(answers(doc, path, status),
                                 [self.ERRORS + error for error in expected.split()])

    def test_status_table_mistakes_name_their_line(self):
        cases = [
            ("a line it cannot read", [("timed_out\", 504)", "timed_out\", 5040)")],
             "cannot read the status line"),
            ("no status for other errors", [("TIRN_OTHER_ERROR_STATUS(500)\n", "")],
             "gives no TIRN_OTHER_ERROR_STATUS"),
        ]
        for name, replacements, fragment in cases:
            with self.subTest(name):
                with table_with(replacements) as table, \
                        self.assertRaises(DescriptionError) as raised:
                    document(GOOD, table)
                self.assertIn(fragment, str(raised.exception))
                self.assertTrue(str(raised.exception).startswith(table + ":"))

    def test_secrets_are_write_only_only_where_nothing_sends_them_back(self):
        text = GOOD.replace("    where: list Address\n",
                            "    where: list Address\n    key: optional secret\n")
        text = text.replace("structure Address\n  street: string\n",
                            "structure Address\n  street: string\n\n"
                            "structure Login\n  password: secret\n")
        # Item goes both ways; Login and the pin are only ever sent.
        text += ("\n  operation put -> void\n    item: Item\n    errors Error\n"
                 "\n  operation login -> void\n    who: Login\n    pin: secret\n    errors Error\n")
        doc, _ = document(text)
        schemas = doc["components"]["schemas"]
        item_key = schemas["com.example.shop.store.items.item"]["properties"]["key"]["anyOf"][0]
        self.assertEqual(item_key, {"type": "string", "format": "password"})
        self.assertEqual(schemas["com.example.shop.login"]["properties"]["password"],
                         {"type": "string", "format": "password", "writeOnly": True})
        self.assertTrue(schemas["com.example.shop.store.items.login.input"]["properties"]["pin"]
                        ["writeOnly"])

    def test_the_library_holds_the_document_text(self):
        doc, files = document(GOOD, name="shop.tidl")
        source = files["com/example/shop/openapi_document.cc"]
        pieces = re.findall(r'R"([a-z_]*)\((.*?)\)\1",\n', source, re.DOTALL)
        self.assertEqual("".join(text for _, text in pieces), files["com/example/shop/openapi.json"])
        # No literal is longer than a compiler must accept.
        self.assertTrue(all(len(text) <= OPENAPI_PIECE for _, text in pieces))
        self.assertIn("shop.tidl", doc["info"]["description"])
        # A text that holds the end of the usual raw string gets another delimiter.
        for text in ['{"a": "b"}', 'x)tirn"y', 'x)tirn")tirn_"y']:
            with self.subTest(text):
                delimiter = raw_string_delimiter(text)
                self.assertNotIn(f"){delimiter}\"", text)


# Documentation on every kind of declaration; one text holds what C++, JSON and Markdown would
# each read as something else, and two paragraphs.
TRICKY = ('A "quoted" word, a path C:\\ and ??/ (the trigraph of a backslash), ??= */ /*, '
          '<b>tags</b> & *stars* | pipes `ticks` [link](x) and _underscores_ with key_id.')
# The same in Markdown, as the API page and the OpenAPI document hold it.
TRICKY_MARKDOWN = ('A "quoted" word, a path C:\\\\ and ??/ (the trigraph of a backslash), ??= '
                   '\\*/ /\\*, \\<b\\>tags\\</b\\> \\& \\*stars\\* \\| pipes '
                   '\\`ticks\\` \\[link\\](x) and \\_underscores\\_ with key_id.')
DOCUMENTED = f"""\
package com.example.shop

/// A place.
structure Address
  /// The street,
  /// on two lines.
  street: string

/// The items.
service store.items
  resource store.item

  /// What an item is.
  enumeration Kind
    /// A book.
    BOOK
    GAME

  /// {TRICKY}
  ///
  /// # Not a heading.
  structure Item
    /// {TRICKY}
    item: id store.item
    kind: Kind

  /// {TRICKY}
  operation get -> Item
    /// The item's identifier.
    item: string
    /// The kinds, {TRICKY}
    kinds: optional set Kind
    errors NotFound Error
"""


class Documentation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = generated(DOCUMENTED, "shop.tidl")
        cls.root = "com/example/shop/"

    def test_headers_hold_the_documentation_as_comments(self):
        types = self.files[self.root + "store/items/types.h"]
        # A word ending in a backslash, or in its trigraph, would carry the comment on into the
        # line below: it is quoted.
        self.assertIn("// A \"quoted\" word, a path `C:\\` and `??/` (the trigraph", types)
        self.assertIn("// com.example.shop.store.items.item\n// A \"quoted\"", types)
        self.assertIn("//\n// # Not a heading.\nstruct COM_EXAMPLE_SHOP_EXPORT Item", types)
        self.assertIn("// What an item is.\n//\n// Enumeration Kind", types)
        self.assertIn("    // A book.\n    BOOK = 0,\n    GAME = 1,", types)
        self.assertIn("  // The street, on two lines.\n  std::string street;",
                      self.files[self.root + "types.h"])
        service = self.files[self.root + "store/items/service.h"]
        self.assertIn("// The items.\n//\n// The service com.example.shop.store.items.", service)
        self.assertIn("    // The item's identifier.\n    std::string item;", service)
        self.assertIn("  // A \"quoted\" word", service.split("class COM_EXAMPLE_SHOP_EXPORT "
                                                             "AsyncServiceInterface")[1])
        for name, text in self.files.items():
            for line in text.splitlines():
                self.assertFalse(line.lstrip().startswith("//") and line.endswith(("\\", "??/")),
                                 f"{name}: {line}")

    def test_the_table_holds_the_descriptions_as_literals_that_read_back(self):
        source = self.files[self.root + "operations.cc"]

        def literal(after):
            """The text of the string literals that follow `after` in the source."""
            rest = source[source.index(after) + len(after):]
            pieces = re.match(r'(\s*"(?:[^"\\]|\\.)*")+', rest).group(0)
            # The escapes of these literals are JSON's, and \? for a question mark.
            return "".join(json.loads(piece.replace("\\?", "?"))
                           for piece in re.findall(r'"(?:[^"\\]|\\.)*"', pieces))

        self.assertEqual(literal('annotations.structures["com.example.shop.store.items.item"]'
                                 '.description ='), TRICKY + "\n\n# Not a heading.")
        self.assertEqual(literal('.fieldDescriptions["item"] ='), TRICKY)
        self.assertEqual(literal('input.fieldDescriptions["kinds"] ='), "The kinds, " + TRICKY)
        self.assertNotIn("??", source.replace("?\\?", ""))
        self.assertIn('"get",\n', source)
        self.assertEqual(literal("&StoreItemsGetInputAnnotations,"), TRICKY)
        self.assertEqual(literal("constexpr char kStoreItemsDescription[] ="), "The items.")
        self.assertIn("kStoreItemsDescription},\n", source)
        meanings = source[source.index('.enumerationDescriptions["kind"] = {'):]
        self.assertEqual(literal('.enumerationDescriptions["kind"] = {\n      {"BOOK",'), "A book.")
        self.assertNotIn('"GAME"', meanings[:meanings.index("};")])
        # Compiled with every warning an error: no literal or comment misleads the compiler.
        compiler = shutil.which("g++")
        if compiler is None:
            self.skipTest("no g++ to compile the generated sources with")
        source_root = os.path.join(os.path.dirname(__file__), "..")
        with tempfile.TemporaryDirectory() as output:
            for name, text in self.files.items():
                os.makedirs(os.path.dirname(os.path.join(output, name)), exist_ok=True)
                with open(os.path.join(output, name), "w", encoding="utf-8") as handle:
                    handle.write(text)
            for name in ["operations.cc", "shop.h"]:
                with self.subTest(name):
                    compiled = subprocess.run(
                        [compiler, "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra",
                         "-Wpedantic", "-Werror", "-x", "c++", "-I", source_root, "-I", output,
                         os.path.join(output, self.root, name)],
                        capture_output=True, text=True, timeout=300)
                    self.assertEqual(compiled.returncode, 0, compiled.stderr)

    def test_the_openapi_document_holds_the_descriptions_in_markdown(self):
        doc = json.loads(self.files[self.root + "openapi.json"])
        schemas = doc["components"]["schemas"]
        item = schemas["com.example.shop.store.items.item"]
        self.assertEqual(item["description"], TRICKY_MARKDOWN + "\n\n\\# Not a heading.")
        self.assertEqual(item["properties"]["item"]["description"],
                         TRICKY_MARKDOWN + "\n\nIdentifies a com.example.shop.store.item.")
        self.assertNotIn("description", item["properties"]["kind"])
        post = doc["paths"]["/v1/com.example.shop.store.items/get"]["post"]
        self.assertEqual(post["description"], TRICKY_MARKDOWN)
        self.assertEqual(schemas["com.example.shop.store.items.get.input"]["properties"]
                         ["kinds"]["description"], "The kinds, " + TRICKY_MARKDOWN)
        self.assertEqual(schemas["com.example.shop.store.items.kind.known"]
                         ["x-enum-descriptions"], ["A book.", ""])
        self.assertTrue(schemas["com.example.shop.store.items.kind"]["description"]
                        .startswith("What an item is.\n\n"))
        self.assertEqual(doc["tags"], [{"name": "store.items", "description": "The items."}])


class Templates(unittest.TestCase):
    def test_pieces_must_match_the_placeholders(self):
        mistakes = [
            ("placeholder left unfilled", "struct $name {$members};", {"name": "A"},
             "needs members"),
            ("piece with no place", "struct $name;", {"name": "A", "export": "X"},
             "no place for export"),
        ]
        for name, text, pieces, fragment in mistakes:
            with self.subTest(name):
                with self.assertRaises(TemplateError) as raised:
                    Template(text).fill(**pieces)
                self.assertIn(fragment, str(raised.exception))
        with self.assertRaises(TemplateError):
            Template("costs $5")


if __name__ == "__main__":
    unittest.main()
