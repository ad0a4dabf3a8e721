// The safe output rules (see output_file.h).
#include "output_file.h"

#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace zuvo_tool {

namespace {

// The temporary files of the running encodes (a batch runs several at once),
// removed if a signal ends us. A slot is claimed with its flag before its
// path is written and freed after the path is cleared, so the signal handler
// reads only whole paths or empty ones.
constexpr int kTempSlots = 64;
constexpr std::size_t kTempPathBytes = 4096;
char g_temp_paths[kTempSlots][kTempPathBytes] = {};
std::atomic<bool> g_temp_claimed[kTempSlots] = {};

int claim_temp_slot(const std::string& path) {
    for (int i = 0; i < kTempSlots; ++i) {
        bool expected = false;
        if (g_temp_claimed[i].compare_exchange_strong(expected, true)) {
            std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
            return i;
        }
    }
    return -1;  // more encodes at once than slots: this one is not cleaned up after a signal
}

void free_temp_slot(int& slot) {
    if (slot < 0) return;
    g_temp_paths[slot][0] = '\0';
    g_temp_claimed[slot].store(false);
    slot = -1;
}

} // namespace

int inherited_descriptor(const std::string& path) {
    if (path == "-" || path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t length = std::strlen(prefix);
        if (path.compare(0, length, prefix) != 0) continue;
        const std::string number = path.substr(length);
        if (number.empty() || number.size() > 6 || !all_digits(number, 0, number.size())) return -1;
        return std::atoi(number.c_str());
    }
    return -1;
}

void remove_unfinished_output() {
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_paths[i][0] != '\0') unlink(g_temp_paths[i]);
    }
}

int Output::prepare(const std::string& path, bool force, const FileId& input, std::string& message) {
    path_ = path;
    name_ = path == "-" ? "standard output" : "'" + path + "'";
    const int inherited = inherited_descriptor(path);
    if (inherited >= 0) {
        kind_ = Kind::kInherited;
        fd_ = inherited;
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            message = "descriptor " + std::to_string(fd_) + " is not open";
            return kOutputError;
        }
        if (isatty(fd_)) {
            message = "refusing to write binary audio to a terminal";
            return kOutputError;
        }
        if (file_id_of_fd(fd_) == input) {
            message = "it is the input file; refusing to write over it";
            return kOutputError;
        }
        return kOk;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            message = describe_errno(error);
            return kOutputError;
        }
        kind_ = Kind::kNewFile;
        target_ = path;
        return kOk;
    }
    if (file_id_of_path(path) == input) {
        message = "it is the input file; refusing to write over it (also with --force)";
        return kOutputError;
    }
    if (S_ISDIR(st.st_mode)) {
        message = "it is a directory";
        return kOutputError;
    }
    if (!S_ISREG(st.st_mode)) {
        kind_ = Kind::kDirect;
        return kOk;
    }
    if (!force) {
        message = "the file exists; use -f or --force to replace it";
        return kOutputError;
    }
    kind_ = Kind::kNewFile;
    keep_mode_ = true;
    mode_ = st.st_mode & 07777;
    target_ = resolve_link(path); // a symbolic link stays; the file it points to is replaced
    return kOk;
}

bool Output::write(const unsigned char* data, std::size_t size) {
    if (!opened_ && !open()) return false;
    while (size > 0) {
        const auto done = ::write(fd_, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            error_ = describe_errno(errno);
            return false;
        }
        if (done == 0) {
            error_ = describe_errno(ENOSPC);
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

bool Output::rewrite_start(const unsigned char* data, std::size_t size) {
    if (!opened_ && !open()) return false;
    const auto end = lseek(fd_, 0, SEEK_END);
    if (end < 0 || lseek(fd_, 0, SEEK_SET) != 0) {
        error_ = describe_errno(errno);
        return false;
    }
    const bool written = write(data, size);
    if (lseek(fd_, end, SEEK_SET) < 0 && written) {
        error_ = describe_errno(errno);
        return false;
    }
    return written;
}

bool Output::commit() {
    if (!opened_) return true;
    opened_ = false;
    if (kind_ == Kind::kInherited) return true;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        error_ = describe_errno(errno);
        return false;
    }
    if (kind_ == Kind::kNewFile) {
        if (!replace_file(temp_, target_)) {
            error_ = std::string("cannot rename the finished file into place: ") + describe_errno(errno);
            return false;
        }
        temp_.clear();
        free_temp_slot(temp_slot_);
    }
    return true;
}

void Output::discard() {
    if (opened_ && kind_ != Kind::kInherited && fd_ >= 0) close(fd_);
    opened_ = false;
    fd_ = -1;
    if (temp_.empty()) return;
    unlink(temp_.c_str());
    temp_.clear();
    free_temp_slot(temp_slot_);
}

bool Output::open() {
    if (kind_ == Kind::kInherited) {
        opened_ = true;
        return true;
    }
    if (kind_ == Kind::kDirect) {
        fd_ = open_in_place(path_, error_);
        opened_ = fd_ >= 0;
        return opened_;
    }
    const std::size_t slash = target_.find_last_of(path_separators());
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target_.substr(0, slash));
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (base.empty()) {
        error_ = "it names a directory, not a file";
        return false;
    }
    std::string temp = dir + "/." + base + ".XXXXXX.part";
    if (temp.size() >= kTempPathBytes) {
        error_ = "the path is too long";
        return false;
    }
    fd_ = make_temp_file(temp, 5);
    if (fd_ < 0) {
        error_ = "cannot create a file in '" + dir + "': " + describe_errno(errno);
        return false;
    }
    temp_ = temp;
    temp_slot_ = claim_temp_slot(temp_);
    opened_ = true;
    // A new temporary file is private: give it the old file's permissions, or
    // the usual ones for a new file.
    set_file_mode(fd_, keep_mode_ ? mode_ : new_file_mode());
    return true;
}

} // namespace zuvo_tool
