#include "app/message_boxes.h"

#include <atomic>
#include <cstdio>

#include "app/base/log.h"

namespace {

PrintingBoxes printing;
std::atomic<MessageBoxes*> installed{nullptr};

}  // namespace

bool PrintingBoxes::show(const std::string& text, const std::string&, BoxButtons, BoxIcon icon) {
    if (icon == BoxIcon::Error) {
        std::string path = log_path();
        std::fputs(text.c_str(), stderr);
        if (path.empty())
            std::fputs("No download.dbg could be written.\n", stderr);
        else
            std::fprintf(stderr, "Log: %s\n", path.c_str());
        std::fflush(stderr);
    } else {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    return true;
}

MessageBoxes& message_boxes() {
    MessageBoxes* boxes = installed;
    return boxes ? *boxes : printing;
}

void set_message_boxes(MessageBoxes* boxes) {
    installed = boxes;
}
