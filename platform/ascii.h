// ASCII case folding: only A to Z and a to z change, whatever the locale and
// whatever the bytes above 127 are. Command words, user names, key names and
// name masks compare this way on every machine. Includes no system header,
// so every folder may use it.
#pragma once

#include <cstddef>

inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Turns every A to Z of the zero-terminated text into a to z, in place.
inline void AsciiLowerAll(char* text) {
    for (; *text; text++)
        *text = AsciiLower(*text);
}

// Compares like strcmp, bytes unsigned, after folding both texts to lower
// case: below 0, 0 or above 0.
inline int AsciiCompareNoCase(const char* a, const char* b) {
    for (;; a++, b++) {
        int x = (unsigned char)AsciiLower(*a);
        int y = (unsigned char)AsciiLower(*b);
        if (x != y || x == 0) return x - y;
    }
}

// True when text starts with word (either case) followed by a blank or the end.
inline bool AsciiStartsWithWord(const char* text, const char* word) {
    size_t i = 0;
    for (; word[i]; i++)
        if (AsciiLower(text[i]) != AsciiLower(word[i])) return false;
    return text[i] == 0 || text[i] == ' ';
}
