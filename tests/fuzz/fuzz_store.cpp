// Fuzz target: the store's value reads. Values of any type and content are
// written, then read back through every reader with buffers of every size:
// no read runs past its buffer, and a string read is always terminated.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/store.h"

namespace {

// Called once: a store of its own below a fresh directory.
HKEY OpenTestKey() {
    char dir[] = "/tmp/bx-fuzz-store-XXXXXX";
    if (!mkdtemp(dir)) abort();
    setenv("BRINDLEX_ROOT", dir, 1);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fuzz", 0, "", 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        abort();
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static HKEY key = OpenTestKey();
    uint32_t types[] = {REG_NONE, REG_SZ, REG_DWORD, data[0]};
    uint32_t type = types[data[0] % 4];
    uint32_t bufferSize = data[1];
    size_t nameLength = data[2] % 8;
    if (nameLength > size - 3) nameLength = size - 3;
    std::string name((const char*)data + 3, nameLength); // may hold any byte
    const uint8_t* value = data + 3 + name.size();
    uint32_t valueSize = (uint32_t)(size - 3 - name.size());
    if (name.find('\0') != std::string::npos) name = "v";
    if (RegSetValueExA(key, name.c_str(), 0, type, value, valueSize) != ERROR_SUCCESS) return 0;

    // Raw read into a buffer of the given size, with guard bytes behind it.
    std::vector<uint8_t> buffer(bufferSize + 16, 0xA5);
    uint32_t got = bufferSize, gotType = 0;
    long status = RegQueryValueExA(key, name.c_str(), nullptr, &gotType, buffer.data(), &got);
    for (size_t i = bufferSize; i < buffer.size(); i++)
        if (buffer[i] != 0xA5) abort();
    if (status == ERROR_SUCCESS && (got > bufferSize || gotType != type)) abort();

    // The program's own readers.
    uint32_t dword = RegGetDword(key, name.c_str(), 7);
    if (!(type == REG_DWORD && valueSize == 4) && valueSize > 4 && dword != 7) abort();
    std::vector<char> text(bufferSize + 1 + 16, 'x');
    RegGetString(key, name.c_str(), text.data(), bufferSize + 1);
    for (size_t i = bufferSize + 1; i < text.size(); i++)
        if (text[i] != 'x') abort();
    return 0;
}
