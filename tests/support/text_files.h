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

// As text: line ends written in text mode come back as '\n' on every platform.
inline std::string read_text_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
