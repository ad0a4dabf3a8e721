// Where the stream goes, safely: OUTPUT is never the input; an existing
// regular file is replaced only with --force, and only once the stream is
// complete (written to a temporary file beside it, then renamed into place,
// keeping the old file's permission bits); devices, FIFOs, sockets and
// inherited descriptors ("-", /dev/stdout, /dev/fd/N) are written into
// directly and never replaced; a full disk is said plainly.
#pragma once

#include "compat.h"

#include <cstddef>
#include <string>

namespace zuvo_tool {

// The descriptor a path names when it is one the process already holds:
// "-", /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N. -1 otherwise.
int inherited_descriptor(const std::string& path);

// Removes the temporary files of the running encodes, if any. Async-signal-safe.
void remove_unfinished_output();

class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { discard(); }

    // Decides how `path` is written, opening nothing yet. `input` is the
    // input file's identity. Returns kOk, or an exit code with `message` set.
    int prepare(const std::string& path, bool force, const FileId& input, std::string& message);

    // "standard output" or 'PATH', for messages.
    const std::string& name() const { return name_; }
    // Why the last write() or commit() failed.
    const std::string& error() const { return error_; }

    // Writes all of `data`, opening OUTPUT on the first call.
    bool write(const unsigned char* data, std::size_t size);
    // Writes `data` again over OUTPUT's first bytes (a header completed at the
    // end); the next write() goes on at the end. Fails on a stream.
    bool rewrite_start(const unsigned char* data, std::size_t size);
    // Completes OUTPUT: the temporary file is moved into place.
    bool commit();
    // Removes the temporary file (if any); OUTPUT is left as it was.
    void discard();

private:
    enum class Kind { kInherited, kNewFile, kDirect };

    bool open();

    std::string path_;   // as given
    std::string name_;   // for messages
    std::string target_; // the file a finished temporary file becomes
    std::string temp_;
    std::string error_;
    Kind kind_ = Kind::kNewFile;
    bool keep_mode_ = false;
    unsigned mode_ = 0;
    bool opened_ = false;
    int fd_ = -1;
    int temp_slot_ = -1;  // where the signal handler finds temp_
};

} // namespace zuvo_tool
