#include "ipc/role.h"

Role processRole = ROLE_SERVER;
