#pragma once

// Readable text from lightweight markup (reStructuredText, AsciiDoc,
// Markdown), for titles, summaries and extracted answers: a person should
// read "shutil — High-level file operations", not ":mod:`shutil` ---".

#include <string>
#include <string_view>

namespace vorn_core {

// Inline markup removed from one line or paragraph: RST roles
// (":func:`copy`" -> "copy", ":ref:`text <target>`" -> "text"), literals
// and emphasis (``x``, `x`, *x*, **x**), link targets (`x <url>`_,
// [x](url)), AsciiDoc macros and attributes (linkgit:git-am[1] ->
// git-am(1), {caret} -> ^, {litdd} -> --), and " --- " as a dash.
std::string strip_inline_markup(std::string_view text);

// Whether a whole line is markup only and carries nothing to read: title
// adornments and block delimiters ("=====", "-----", "...."), RST comments,
// targets and structural directives (".. index::", ".. _label:",
// ".. module::"), field lines (":synopsis: ..."), AsciiDoc block attributes
// ("[verse]", "[source,c]").
bool is_markup_line(std::string_view line);

}  // namespace vorn_core
