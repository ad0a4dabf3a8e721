// Shared by the long-run programs: a fresh directory under $TMPDIR (or /tmp)
// that $TMPDIR then points at, so that any spill file the library leaves
// behind can be found. POSIX only.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <stdlib.h>

// Returns the new directory, or an empty string when it could not be made.
inline std::string make_fresh_tmpdir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    const std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return std::string();
    setenv("TMPDIR", name.data(), 1);
    return std::string(name.data());
}
