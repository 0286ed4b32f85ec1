// Client paths resolved against the current directory into paths relative to
// the account's Root, and the full local paths formed from them.
#include "server/path.h"

#include <cstring>

#include "log/log.h"

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Removes the last component of rel and the separator before it. 0 when rel
// is already the root.
int GoUp(char* rel) {
    size_t len = strlen(rel);
    if (len == 0) {
        LogPrintf(LOG_WARNING, "ParsePath: can't go past root");
        return 0;
    }
    while (len > 0 && !IsSeparator(rel[len - 1]))
        len--;
    rel[len > 0 ? len - 1 : 0] = 0;
    return 1;
}

} // namespace

int ParsePath(char* rel, const char* clientPath, int dotsAnywhere) {
    const char* p = clientPath;
    bool start = true; // still before the first name, "." or empty component
    if (IsSeparator(*p)) {
        rel[0] = 0;
        p++;
    }
    while (*p) {
        size_t n = 0;
        bool allDots = true;
        for (; p[n] && !IsSeparator(p[n]); n++) {
            if (p[n] == '?' || p[n] == '*') {
                LogPrintf(LOG_WARNING, "ParsePath: wildcard characters not allowed");
                return 0;
            }
            if (p[n] != '.') allDots = false;
        }
        if (n == 0) { // doubled separator
            p++;
            start = false;
            continue;
        }
        if (n >= 2 && allDots) {
            if (n >= CONN_PATH_SIZE) {
                LogPrintf(LOG_WARNING, "ParsePath: crazy number of dots");
                return 0;
            }
            if (!start && !dotsAnywhere) {
                LogPrintf(LOG_WARNING, "ParsePath: invalid use of %.*s", static_cast<int>(n), p);
                return 0;
            }
            for (size_t up = 1; up < n; up++) {
                if (!GoUp(rel)) return 0;
            }
        } else if (n == 1 && p[0] == '.') {
            if (!start && !dotsAnywhere) {
                LogPrintf(LOG_WARNING, "ParsePath: invalid use of .");
                return 0;
            }
            start = false;
        } else {
            size_t len = strlen(rel);
            size_t newLen = len + n + (len > 0 ? 1 : 0);
            if (newLen >= static_cast<size_t>(CONN_PATH_SIZE)) {
                LogPrintf(LOG_WARNING, "ParsePath: overflow, len=%d i=%d", static_cast<int>(newLen),
                          static_cast<int>(n));
                return 0;
            }
            if (len > 0) rel[len++] = '\\';
            memcpy(rel + len, p, n);
            rel[len + n] = 0;
            start = false;
        }
        p += n;
        if (*p) p++; // the one separator after the component
    }
    LogPrintf(LOG_INFO, "ParsePath: parsed: %s", rel);
    return 1;
}

int MakeFullPath(char* out, const char* root, const char* rel) {
    size_t rootLen = strlen(root);
    size_t relLen = strlen(rel);
    if (rootLen + 1 + relLen >= static_cast<size_t>(CONN_PATH_SIZE)) {
        LogPrintf(LOG_WARNING, "MakeFullPath: path too long (%zu characters)",
                  rootLen + 1 + relLen);
        return 0;
    }
    memcpy(out, root, rootLen);
    out[rootLen] = '/';
    for (size_t i = 0; i < relLen; i++)
        out[rootLen + 1 + i] = rel[i] == '\\' ? '/' : rel[i];
    out[rootLen + 1 + relLen] = 0;
    return 1;
}

int ResolvePath(const Conn* conn, const char* arg, char* rel, char* fullPath) {
    memcpy(rel, conn->currentDir, CONN_PATH_SIZE);
    rel[CONN_PATH_SIZE - 1] = 0;
    if (!ParsePath(rel, arg, conn->extensions)) return 0;
    return MakeFullPath(fullPath, conn->user.Root, rel);
}

size_t ClientPathForm(char* out, size_t size, const char* rel) {
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size) out[n++] = c;
    };
    put('/');
    for (const char* p = rel; *p; p++) {
        if (*p == '"') {
            put('"');
            put('"');
        } else {
            put(*p == '\\' ? '/' : *p);
        }
    }
    if (size) out[n] = 0;
    return n;
}
