// What every module of zuvo-mpa-encode shares: the program's name for
// messages, its exit statuses, and the text of system errors.
#pragma once

#include <cstddef>
#include <string>

namespace zuvo_tool {

// kDamagedInput: the input ended early or could not be decoded to its end;
// OUTPUT holds the stream of what was read.
enum ExitCode { kOk = 0, kUsage = 1, kInputError = 2, kOutputError = 3, kEncoderError = 4, kDamagedInput = 5 };

extern const char* const kProgram;

// strerror's text, with "disk full" said plainly.
std::string describe_errno(int error);

// Whether text[from, from + count) exists and is all decimal digits.
bool all_digits(const std::string& text, std::size_t from, std::size_t count);

} // namespace zuvo_tool
