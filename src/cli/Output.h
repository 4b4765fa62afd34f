// Text output of the command-line tool: CSV, JSON, aligned tables, globs.
#pragma once

#include <string>
#include <vector>

// A CSV field (RFC 4180): quoted, with quotes doubled, when it holds a comma,
// a quote or a line break.
std::string CsvField(const std::string& text);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// Rows of cells aligned in columns two spaces apart (widths in terminal
// columns: East Asian wide characters count two).
std::string AlignedTable(const std::vector<std::vector<std::string>>& rows);
// `*` and `?` glob over a whole name; A to Z match a to z.
bool GlobMatch(const std::u16string& pattern, const std::u16string& name);
