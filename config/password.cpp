// The stored password value: four hexadecimal salt digits, then the MD5 of
// the salt digits, the name, ":" and the password, as 32 upper-case
// hexadecimal digits. The password keeps its case, so the check at login,
// which takes the password as the client sends it, matches what was set.
#include <md5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/users.h"

namespace {

// The 36-character value for a salt text of four characters.
void Digest(const std::string& salt, const char* name, const char* password, char* out) {
    std::string text = salt + (name ? name : "") + ":" + (password ? password : "");
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, (const uint8_t*)text.data(), text.size());
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    memcpy(out, salt.data(), 4);
    for (int i = 0; i < MD5_DIGEST_LENGTH; i++)
        snprintf(out + 4 + 2 * i, 3, "%.2X", digest[i]);
}

} // namespace

void MakePasswordDigest(const char* name, const char* password, char* out) {
    // Salts stay within 0..32767 so that they always take four digits.
    unsigned long salt = (unsigned long)(rand() % 32768);
    char saltText[8];
    snprintf(saltText, sizeof saltText, "%.4lX", salt);
    Digest(saltText, name, password, out);
}

void PasswordDigestWithSalt(const char* PW, const char* name, const char* password, char* out) {
    char saltText[8];
    snprintf(saltText, sizeof saltText, "%-4.4s", PW ? PW : "");
    Digest(saltText, name, password, out);
}

int CheckPasswordDigest(const char* PW, const char* name, const char* password) {
    if (!PW || strlen(PW) != (size_t)USER_PW_LEN) return 0;
    char candidate[USER_PW_LEN + 1];
    PasswordDigestWithSalt(PW, name, password, candidate);
    // Compares every byte, whatever the first difference.
    unsigned difference = 0;
    for (int i = 0; i < USER_PW_LEN; i++)
        difference |= (unsigned)(candidate[i] ^ PW[i]);
    return difference == 0 ? 1 : 0;
}
