// SHA256SUMS at the root of a package: the SHA-256 of its files, as coreutils' sha256sum writes it
// and `sha256sum -c` reads it. A package that carries it is proven whole before a run sends a
// byte: a file cut in a download or damaged on a stick is found here, not in the device's flash.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/sent_file.h"  // kSumsFile

// What --check and a run say of a package without the file.
constexpr const char* kNoSumsNote =
    "The package has no SHA256SUMS: a damaged or cut file cannot be found before it is sent.";

struct SumsEntry {
    std::string digest;  // 64 lowercase hex digits
    std::string path;    // relative to the package root, '/' separators, no "." or ".." part
    int line = 0;
};

// Reads the text of a SHA256SUMS file: one "<64 hex digits><two spaces, or a space and '*'><path>"
// a line; lines that start with '#' are comments. A malformed line, an absolute path, a ".."
// component or a file listed twice refuses the whole file, *refusal naming it.
bool parse_sums(const std::string& text, std::vector<SumsEntry>* entries, std::string* refusal);

// True when folder (with its trailing separator) holds no SHA256SUMS.
bool sums_missing(const std::string& folder);

// Checks folder's SHA256SUMS against the package: every file of required is listed, and every
// listed file exists and matches. *digests gets the listed paths and their digests, kept for the
// run that sends them. False with *refusal as "NAME: reason".
bool verify_sums(const std::string& folder, const std::vector<std::string>& required,
                 std::map<std::string, std::string>* digests, std::string* refusal);

// Writes folder's SHA256SUMS for files (paths relative to folder with '/' separators), through a
// temporary file renamed over an old one. False with *error naming the file and the reason.
bool write_sums(const std::string& folder, const std::vector<std::string>& files,
                std::string* error);
