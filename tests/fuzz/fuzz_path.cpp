// Fuzz target: the client path parser. Any path from any current directory
// resolves to a relative path that never climbs above the root, fits its
// buffer, and has no empty or dot components.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "server/path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // First byte: how much of the rest is the current directory.
    if (size < 1) return 0;
    size_t split = data[0] % (size < 200 ? size : 200);
    std::string current((const char*)data + 1, split > size - 1 ? size - 1 : split);
    std::string path((const char*)data + 1 + current.size(), size - 1 - current.size());
    if (current.find('\0') != std::string::npos || path.find('\0') != std::string::npos) return 0;
    for (int dotsAnywhere = 0; dotsAnywhere < 2; dotsAnywhere++) {
        char rel[CONN_PATH_SIZE] = {0};
        char start[CONN_PATH_SIZE] = {0};
        // The current directory is itself a parsed path.
        if (!ParsePath(start, current.c_str(), dotsAnywhere)) continue;
        memcpy(rel, start, sizeof rel);
        if (!ParsePath(rel, path.c_str(), dotsAnywhere)) continue;
        size_t length = strnlen(rel, sizeof rel);
        if (length >= sizeof rel) abort();
        std::string r(rel, length);
        if (!r.empty() && (r.front() == '\\' || r.back() == '\\')) abort();
        if (r.find("\\\\") != std::string::npos || r.find('/') != std::string::npos) abort();
        std::istringstream parts(r);
        for (std::string part; std::getline(parts, part, '\\');)
            if (part.find_first_not_of('.') == std::string::npos) abort(); // "", ".", ".."
        char full[CONN_PATH_SIZE];
        if (MakeFullPath(full, "/srv/root", rel) && strncmp(full, "/srv/root", 9) != 0) abort();
        char client[2 * CONN_PATH_SIZE];
        ClientPathForm(client, sizeof client, rel);
    }
    return 0;
}
