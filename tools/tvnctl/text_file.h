// Reading a small text file whole.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace tvnctl {

// False when the file cannot be opened (errno tells why).
inline bool read_text_file(const std::string &path, std::string *content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *content = text.str();
    return true;
}

} // namespace tvnctl
