// The operating-system services zuvo-mpa-encode uses that POSIX systems and
// Windows offer differently, under names of their own: compat_posix.cpp and
// compat_windows.cpp implement them (the build picks one), compat_signals.cpp
// the interrupt handler for both. The other modules call these instead of
// testing the platform themselves.
#pragma once

#include <string>

namespace zuvo_tool {

// Identity of a file: device and inode on POSIX systems; on Windows, where
// st_ino is always 0, the volume serial number and file index. Two unknown
// identities are never equal.
struct FileId {
    bool known = false;
    unsigned long long volume = 0;
    unsigned long long index = 0;
    bool operator==(const FileId& other) const {
        return known && other.known && volume == other.volume && index == other.index;
    }
};
FileId file_id_of_fd(int fd);
FileId file_id_of_path(const std::string& path);

// The characters that end a folder's name in a path: "/" (and "\" on Windows).
const char* path_separators();

// Creates a file from `pattern`, whose six characters before the last
// `suffix_length` are "XXXXXX", exclusively and in binary mode, and replaces
// them in `pattern`. Returns its descriptor, or -1 with errno set.
int make_temp_file(std::string& pattern, int suffix_length);

// The permission bits a new file gets (0666 less the umask), and setting
// them on an open file (Windows files have none to set).
unsigned new_file_mode();
void set_file_mode(int fd, unsigned mode);

// The file a symbolic link points to, or `path` itself when it is none.
std::string resolve_link(const std::string& path);
// The absolute form of `path`, or "" when it cannot be found.
std::string full_path(const std::string& path);

// Moves `from` to `to`, replacing a file `to` in one step. errno tells why not.
bool replace_file(const std::string& from, const std::string& to);

// Opens an existing device, FIFO or socket (not a regular file) to write into
// as it is. Returns the descriptor, or -1 with `error` set.
int open_in_place(const std::string& path, std::string& error);

// Whether standard input is a terminal the user types into (never claimed on
// Windows, where a redirected file can look like a console).
bool stdin_is_terminal();

// Writes to a closed pipe become write errors, and an interrupt, a
// termination or a hang-up runs `cleanup` (which must be async-signal-safe)
// before the process ends as the signal would have ended it.
void install_interrupt_handler(void (*cleanup)());

// Standard output carries the stream as bytes (no newline translation).
void use_binary_stdout();

} // namespace zuvo_tool
