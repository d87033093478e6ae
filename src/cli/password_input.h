// Getting the dealer password without showing it: a prompt on the terminal
// with echo off, or the first line of a file (for scripts).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace vkt::cli {

// Prints `prompt` on `out`, reads one line from `in` with the terminal's
// echo switched off (when stdin is a terminal) and switched on again
// afterwards. Nothing at the end of the input.
std::optional<std::string> readHiddenLine(std::istream& in, std::ostream& out,
                                          const std::string& prompt);

// The first line of the file at `path`, without its line end. Nothing, with
// the reason in `error`, when the file cannot be read.
std::optional<std::string> readPasswordFile(const std::string& path, std::string& error);

}  // namespace vkt::cli
