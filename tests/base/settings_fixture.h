// A settings file of the test's own, read and written with the platform's profile functions.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/settings.h"
#include "tests/support/text_files.h"

class SettingsTest : public ::testing::Test {
  protected:
    std::string path() const { return dir_.file("settings.ini"); }
    void given(const std::string& content) { write_file(path(), content); }
    std::string get(const char* section, const char* key, const char* def = "none",
                    int size = 260) {
        char out[300];
        get_profile_string(section, key, def, out, size, path());
        return out;
    }
    int get_int(const char* section, const char* key, int def = -7) {
        return get_profile_int(section, key, def, path());
    }

    TempDir dir_;
};
