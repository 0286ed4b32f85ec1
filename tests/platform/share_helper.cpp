// A second process opening files through the file layer, for the share
// rules between processes. One command per line on standard input, one
// reply line out; its files stay open until end of input.
//   read ROOT PATH | write ROOT PATH   FsOpenRead / FsOpenWrite: open | refused ERROR
//   delete ROOT PATH                   FsDeleteFile: deleted | refused ERROR
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fs.h"

int main() {
    std::vector<int> open;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, root, path;
        words >> command >> root >> path;
        int result = command == "read"     ? FsOpenRead(root.c_str(), path.c_str())
                     : command == "write"  ? FsOpenWrite(root.c_str(), path.c_str(), 0)
                     : command == "delete" ? FsDeleteFile(root.c_str(), path.c_str()) - 1
                                           : -1;
        if (result >= 0 && command != "delete") open.push_back(result);
        if (result >= 0)
            std::cout << (command == "delete" ? "deleted" : "open") << std::endl;
        else
            std::cout << "refused " << FsLastError() << std::endl;
    }
    for (int fd : open)
        FsClose(fd);
    return 0;
}
