#include "app/message_boxes.h"

#include <atomic>
#include <cstdio>

#include "base/log.h"

namespace {

PrintingBoxes printing;
std::atomic<MessageBoxes*> installed{nullptr};

}  // namespace

// The boxes that end a run are followed by the log's path, so that every run names its log.
bool PrintingBoxes::show(const std::string& text, const std::string&, BoxButtons, BoxIcon icon) {
    std::FILE* out = icon == BoxIcon::Error ? stderr : out_;
    std::fputs(text.c_str(), out);
    if (icon != BoxIcon::Question) {
        const std::string path = log_path();
        if (path.empty())
            std::fputs("No download.dbg could be written.\n", out);
        else
            std::fprintf(out, "Log: %s\n", path.c_str());
    }
    std::fflush(out);
    return true;
}

MessageBoxes& message_boxes() {
    MessageBoxes* boxes = installed;
    return boxes ? *boxes : printing;
}

void set_message_boxes(MessageBoxes* boxes) {
    installed = boxes;
}
