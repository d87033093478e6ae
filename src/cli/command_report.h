// How a command of `vkt` reports how it ended. With --json the JSON object
// (json_output.h) goes to stdout and every human text to stderr; without it
// results go to stdout. A failure is shown in one style on stderr:
//   vkt: error: <the main message>
//   <the tool's further messages: its own texts, the causes below them>
//   hint: <what the user can do>
// and the radio commands write the same lines to err.log.
#pragma once

#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/json_output.h"

namespace vkt::cli {

// A failure as the command line reports it (see JsonError).
using Failure = JsonError;

class CommandReport {
  public:
    // `command` as the JSON names it: "info", "package check", ...
    CommandReport(std::string command, bool json);
    CommandReport(const CommandReport&) = delete;
    CommandReport& operator=(const CommandReport&) = delete;

    const std::string& command() const { return command_; }
    bool json() const { return json_; }
    // Where human-readable results go: stdout, or stderr with --json.
    std::ostream& text() const { return json_ ? std::cerr : std::cout; }
    // The command's own fields, printed after the envelope in insertion order.
    Json& fields() { return fields_; }
    // Every field the command prints, in order, each null until it is set:
    // a command's object has the same keys however it ends.
    void declareFields(std::initializer_list<const char*> names);

    // Failures are also written to <dataDir>/log/err.log (unless the log
    // already has a folder).
    void logFailuresIn(const std::string& dataDir);

    // The command succeeded with `result`: prints the JSON object (with
    // --json) and returns `exitCode`.
    int succeed(const std::string& result, int exitCode = kExitOk);
    // The command failed: the error on stderr (and err.log), the JSON object
    // with ok false; returns `exitCode`.
    int fail(const Failure& failure, int exitCode = kExitFailure);
    // Nothing was done, which is no fault (an up-to-date radio, a question
    // answered No; the command has shown why): the JSON object says ok
    // false with the reason; returns kExitNothingDone.
    int nothingDone(const Failure& reason);

    // The JSON object as it would be printed now (for tests of the shape).
    Json object() const;

  private:
    void print();

    std::string command_;
    bool json_;
    bool printed_ = false;
    bool logFailures_ = false;
    Json envelope_;
    Json fields_ = Json::object();
};

// The lines of a failure as the terminal shows them (without line ends).
std::vector<std::string> failureLines(const Failure& failure);

}  // namespace vkt::cli
