// fwupgrade --seal DIR: writes DIR/SHA256SUMS for exactly the files the package check requires, so
// that every later run proves the package whole before it sends a byte. No port is opened and no
// log is written.
#pragma once

#include <cstdio>
#include <string>

// folder with its trailing separator. Says how many files it listed on out, or why the package is
// refused on err; 0 when SHA256SUMS was written, 1 otherwise.
int run_seal(const std::string& folder, std::FILE* out, std::FILE* err);
