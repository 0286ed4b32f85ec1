// The forms of the System values that name a program or an endpoint:
// "UploadHook" (an absolute path) and "MetricsAddress" ("a.b.c.d:port" or
// "[IPv6]:port"). brindlex-reg refuses another form; the server logs it and
// leaves the feature off.
#pragma once

#include "platform/address.h"

// "is not ..." for a text the server cannot use, else nullptr ("" is off).
const char* UploadHookProblem(const char* text);
const char* MetricsAddressProblem(const char* text);
// "a.b.c.d:port" or "[IPv6]:port" with port 1 to 65535: 1 and the address,
// else 0.
int ParseMetricsAddress(const char* text, NetAddress* out);
