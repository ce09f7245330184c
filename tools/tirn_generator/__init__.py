"""The package generator: from a package's declarative description (a .tidl file), the C++
bindings of the package, its OpenAPI 3.1 document and its API page.

The description declares the package once: its shared structures and, per service, the
published resource type, enumerations, structures (fields in declaration order, union tags and
cases) and operations (parameters, result and declared standard errors, in slot order). The
generator applies the naming rules (canonical wire names, metadata names, namespaces, sorted
known-name arrays, string tables, union annotations) and writes the files. Its modules:

  model.py          the package as the description declares it, and the naming rules
  description.py    reading and checking a description
  template.py       the templates every generated text is made of
  cpp_templates.py  the templates of the C++ files
  cpp.py            the C++ files, and the OpenAPI document compiled into them
  statuses.py       the server's table of error statuses, which the document follows
  openapi.py        the OpenAPI document
  api_page.py       the Markdown page of the package's calls and structures
  command.py        the command line (tools/tirn_generate.py, or python3 -m tirn_generator)

Only the Python standard library is used.
"""
