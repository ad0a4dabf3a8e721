// The program's name and the shared text helpers (see common.h).
#include "common.h"

#include <cerrno>
#include <cstring>

namespace zuvo_tool {

const char* const kProgram = "zuvo-mpa-encode";

std::string describe_errno(int error) {
    if (error == ENOSPC) return "disk full (" + std::string(std::strerror(error)) + ")";
    return std::strerror(error);
}

bool all_digits(const std::string& text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

} // namespace zuvo_tool
