// The services of compat.h on POSIX systems.
#include "compat.h"

#include "common.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zuvo_tool {

namespace {

FileId id_of_stat(const struct stat& st) {
    FileId id;
    id.known = true;
    id.volume = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return id;
}

} // namespace

FileId file_id_of_fd(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? id_of_stat(st) : FileId{};
}

FileId file_id_of_path(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? id_of_stat(st) : FileId{};
}

const char* path_separators() { return "/"; }

int make_temp_file(std::string& pattern, int suffix_length) {
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = suffix_length > 0 ? mkstemps(name.data(), suffix_length) : mkstemp(name.data());
    if (fd >= 0) pattern = name.data();
    return fd;
}

unsigned new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

void set_file_mode(int fd, unsigned mode) { fchmod(fd, static_cast<mode_t>(mode)); }

std::string resolve_link(const std::string& path) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    const std::string resolved = full_path(path);
    return resolved.empty() ? path : resolved;
}

std::string full_path(const std::string& path) {
    char* full = realpath(path.c_str(), nullptr);
    const std::string text = full ? full : "";
    std::free(full);
    return text;
}

bool replace_file(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

int open_in_place(const std::string& path, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) {
            error = "the socket's path is too long";
            return -1;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            error = describe_errno(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
        return fd;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) error = describe_errno(errno);
    return fd;
}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

void use_binary_stdout() {}

} // namespace zuvo_tool
