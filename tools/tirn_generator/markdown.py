"""Documentation text in Markdown (CommonMark), for the API page and the OpenAPI document's
descriptions: a description is plain text, so every character that Markdown would read as
markup is escaped, and the text renders as it was written."""

import re

# Punctuation that is markup wherever it stands (emphasis, code, links, HTML, entities, table
# cells, strikethrough), and an underscore that can open or close emphasis: one not inside a
# word.
INLINE_MARKUP = re.compile(r"[\\`*\[\]<>|&~]|(?<![A-Za-z0-9])_|_(?![A-Za-z0-9])")

# What makes a paragraph a heading, a quote, a list item or a rule when it starts with it.
BLOCK_START = re.compile(r"^(?:[#>+=-]|\d+[.)])")


def markdown(text):
    """`text` (paragraphs separated by an empty line) as Markdown that renders as the text."""
    paragraphs = []
    for paragraph in text.split("\n\n"):
        paragraph = INLINE_MARKUP.sub(lambda match: "\\" + match.group(0), paragraph)
        start = BLOCK_START.match(paragraph)
        if start:
            paragraph = paragraph[:start.end() - 1] + "\\" + paragraph[start.end() - 1:]
        paragraphs.append(paragraph)
    return "\n\n".join(paragraphs)


def markdown_line(text):
    """The same on one line, for a table cell: the paragraphs separated by a space."""
    return " ".join(markdown(text).split("\n\n"))
