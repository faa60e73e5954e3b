// settings.ini on Windows: the private-profile functions themselves, which every package's
// settings file was written for.
#include <windows.h>

#include <string>

#include "base/settings.h"

int get_profile_string(const char* section, const char* key, const char* def, char* out, int size,
                       const std::string& path) {
    if (!out || size <= 0) return 0;
    return static_cast<int>(::GetPrivateProfileStringA(section, key, def ? def : "", out,
                                                       static_cast<DWORD>(size), path.c_str()));
}

int get_profile_int(const char* section, const char* key, int def, const std::string& path) {
    return static_cast<int>(::GetPrivateProfileIntA(section, key, def, path.c_str()));
}

bool write_profile_string(const char* section, const char* key, const char* value,
                          const std::string& path) {
    // The function writes a value as it is given: one with a line break would add lines, and
    // keys, to the file.
    std::string one_line;
    if (value) one_line = std::string(value).substr(0, std::string(value).find_first_of("\r\n"));
    return ::WritePrivateProfileStringA(section, key, value ? one_line.c_str() : nullptr,
                                        path.c_str()) != 0;
}
