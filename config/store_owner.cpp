#include "config/store_owner.h"

#include "platform/privilege.h"

int ActAsStoreOwner(std::string* note, std::string* why) {
    note->clear();
    Account owner;
    if (!ProcessIsRoot() || !StoreOwner(&owner) || owner.uid == 0) return 1;
    if (!ProcessBecome(owner, 0, why)) return 0;
    *note = "acting as the store's owner " +
            (owner.name.empty() ? "uid " + std::to_string(owner.uid) : owner.name);
    return 1;
}
