"""Generates the C++ bindings of an API package from its declarative description.

  tirn_generate.py DESCRIPTION --output DIR     write the sources (only files that change)
  tirn_generate.py DESCRIPTION --list           print the files it would write
  tirn_generate.py DESCRIPTION --check          validate the description only
  tirn_generate.py DESCRIPTION --openapi FILE   also write the OpenAPI document to FILE
  tirn_generate.py DESCRIPTION --api-page FILE  write the API page (with --check: compare)

A mistake in the description is reported as "FILE:LINE: error: MESSAGE" and the tool exits
with status 1 without writing anything.
"""

import argparse
import os
import sys

from .api_page import api_page
from .cpp import CppFiles
from .description import load
from .model import DescriptionError, package_path
from .openapi import OpenApi
from .statuses import default_status_table, read_status_table

def generate(path, description_name=None, statuses_path=None):
    """Every file of the package `path` describes, by its path under the include root."""
    package = load(path)
    description = description_name or os.path.basename(path)
    statuses = read_status_table(statuses_path or default_status_table())
    document = OpenApi(package, description, statuses).text()
    files = CppFiles(package, description, document).run()
    files[f"{package_path(package.name)}/openapi.json"] = document
    return files


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
            page = api_page(load(args.description),
                            args.name or os.path.basename(args.description))
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
