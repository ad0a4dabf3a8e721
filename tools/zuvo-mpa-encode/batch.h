// Many files at once: `-O DIR INPUT...` encodes each input to
// DIR/<name>.mp2 (or .wav), `-j N` of them at a time on their own threads,
// each with its own summary line and the safety rules of a single file. The
// exit status is the highest of the files' codes.
#pragma once

#include "options.h"

#include <string>

namespace zuvo_tool {

// Encodes one input to one output and returns its exit code; `batch` says
// that other files are being encoded at the same time.
using EncodeFile = int (*)(const Options& options, const std::string& input, const std::string& output, bool batch);

// Runs `encode` for every input of a batch; returns the highest exit code.
int run_batch(const Options& options, EncodeFile encode);

}  // namespace zuvo_tool
