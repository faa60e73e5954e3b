// Whole-file reads and writes as text, beside the shared temporary folder.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
