// Failed logins counted per client address and per account name, so that
// guessing passwords stays slow however the guesser spreads the attempts
// over connections, threads or addresses. After `LoginFailLimit` failures
// within `LoginFailWindow` seconds the address (or the account, for every
// address) is locked for `LoginLockTime` seconds; each further lock while
// failures go on lasts twice as long as the one before, up to 64 times the
// first. While locked, a PASS is refused whatever the password.
// Any socket thread: the records are shared under one lock, so failures
// counted on several threads at once add up exactly.
#pragma once

#include <cstdint>
#include <string>

struct LoginGuardLimits {
    uint32_t failLimit;  // failures that start a lock; 0 = no locks at all
    uint32_t windowSecs; // how long a failure counts
    uint32_t lockSecs;   // the first lock
};

// Milliseconds the address or the account stays locked at nowMs (the larger
// of the two); 0 when neither is.
int64_t LoginGuardLockedMs(const std::string& address, const std::string& account, int64_t nowMs);

// Counts one failed login (a wrong password, or a connection dropped while
// its PASS was pending) for both the address and the account.
void LoginGuardFailed(const std::string& address, const std::string& account, int64_t nowMs,
                      const LoginGuardLimits& limits);

// Forgets every count and lock (tests, and a server switched off).
void LoginGuardClear();
