#include "platform/ephemeral_ports.h"

#include <cstdio>

int EphemeralPortRange(uint16_t* low, uint16_t* high, const char* path) {
    FILE* f = fopen(path, "re");
    if (!f) return 0;
    unsigned a = 0, b = 0;
    int ok = fscanf(f, "%u %u", &a, &b) == 2 && a >= 1 && a <= b && b <= 65535;
    fclose(f);
    if (ok) {
        *low = (uint16_t)a;
        *high = (uint16_t)b;
    }
    return ok;
}
