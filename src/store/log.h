// The support log: with --log FILE, a run appends to FILE what it decided and
// why, one UTF-8 line each, led by the UTC time and the process identifier.
// Without --log nothing is written anywhere. A log that cannot be opened or
// written never changes what the run does or reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qrl::log {

// From now on, this run appends to `path`. Opened once; a path that cannot be
// opened, or that is no regular file with a single name (platform::open_log_file),
// leaves the run without a log.
void open(const std::string& path);

// Ends the log of this run: later lines go nowhere. Tests that open a log in
// their own process end it with this.
void close();

// Whether lines go anywhere; callers that would build a costly line ask first.
bool enabled();

// Appends one line, `text` escaped.
void line(std::string_view text);

// `text` as a line of the log holds it: C0 control characters (line breaks
// among them) and DEL become \xNN, as does every byte that is not part of
// valid UTF-8; valid UTF-8 text (Chinese messages, paths) stays as it is. What
// others choose (process names, names read from folders, paths) can then
// neither start a line of its own nor reach a terminal as a control sequence.
std::string escaped(std::string_view text);

// "<what> <path>", then "failed: <error>" when `done` failed.
void file_step(std::string_view what, const std::string& path, const Status& done);

// `bytes` shown in a line: printable ASCII as it is, anything else escaped
// (\n, \r, \xNN), at most `limit` bytes of it.
std::string shown(std::string_view bytes, std::size_t limit = 200);

// The argument list as one line, each argument quoted when it needs it.
std::string command_line(const std::vector<std::string>& args);

// Which processes hold `path`, asked once of the system, as a line of the log:
// names and identifiers, or why it could not tell.
void holders_of(const std::string& path);

}  // namespace qrl::log
