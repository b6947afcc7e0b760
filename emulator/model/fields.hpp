// SPDX-License-Identifier: MIT
// The field tokenizer of the command language: command words, fields
// separated by commas, quoted texts, variable names and numbers. Its number
// parser is the only one: the stream parser's block headers use it too.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarn::emu {

std::string_view trim(std::string_view s);
std::string upper(std::string_view s);

// Splits "WORD rest" at the first blank: the word upper-cased, the rest
// trimmed.
std::pair<std::string, std::string_view> split_word(std::string_view line);

// Takes count comma-separated fields from the front of s; a field in double
// quotes may hold commas. s keeps what follows the last comma.
bool take_fields(std::string_view &s, std::size_t count, std::vector<std::string_view> &out);
// Splits all of s at commas outside quotes.
std::vector<std::string_view> all_fields(std::string_view s);

// A whole field as a decimal integer: blanks around it, an optional sign,
// digits; false when anything else is there or the value does not fit.
bool parse_integer(std::string_view s, long long &value);
// The same, and the value must lie in [lo, hi].
bool parse_integer(std::string_view s, long long &value, long long lo, long long hi);
bool parse_integer(std::string_view s, int &value, int lo, int hi);
// A whole field as a decimal number ("2", "2.5").
bool parse_decimal(std::string_view s, double &value);
// "100 mm", "800 dot", or a bare number of inches, in dots.
bool parse_length(std::string_view s, double dots_per_mm, double &dots);

// A quoted text without its quotes; \["] inside stands for a double quote.
bool unquote(std::string_view s, std::string &out);
// A variable name: @1, NAME, NAME$.
bool is_variable(std::string_view s);
// For log lines: the text shortened and made printable.
std::string shown(std::string_view s);

} // namespace zarn::emu
