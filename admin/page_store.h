// How a page saves its group: the store write, then in the admin role the
// change message that makes the server reload the group (also when the store
// could not be opened: the server then reloads what the store holds).
#pragma once

#include <cstdint>

void StoreGroup(void (*save)(), uint8_t changeMessage);
