// The ".link" name parser on any name: a name describes a link only with a link name before the
// first '_' of its stem, and the link name and target together are the stem again.
#include <string>

#include "diag/home_tree.h"
#include "fuzz/support/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    std::string link_name = "unset";
    std::string target = "unset";
    const bool link = read_link_name(name, &link_name, &target);
    const std::string stem = name.substr(0, name.find('.'));
    const std::size_t underscore = stem.find('_');
    FUZZ_CHECK(link == (underscore != std::string::npos && underscore > 0));
    if (!link) {
        FUZZ_CHECK(link_name == "unset" && target == "unset");
        return 0;
    }
    FUZZ_CHECK(!link_name.empty() && link_name.find_first_of("._") == std::string::npos);
    FUZZ_CHECK(!target.empty() && target[0] == '/' &&
               target.find_first_of("._") == std::string::npos);
    std::string again = target;
    for (char& c : again)
        if (c == '/') c = '_';
    FUZZ_CHECK(link_name + again == stem || stem.find('/') != std::string::npos);
    FUZZ_CHECK(describes_link(name) == (name.find(".link") != std::string::npos));
    return 0;
}
