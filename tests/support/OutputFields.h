// Single CSV fields and JSON strings as pelmora-cli writes them, for tests.
#pragma once

#include <string>

#include "cli/Output.h"

inline std::string CsvField(const std::string& text) {
  std::string field = text;
  QuoteCsvField(field, 0);
  return field;
}

inline std::string JsonString(const std::string& text) {
  std::string literal;
  AppendJsonString(literal, text);
  return literal;
}
