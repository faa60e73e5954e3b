#include "app/console_display.h"

#include <chrono>

#include "app/message_boxes.h"
#include "app/terminal.h"
#include "app/upgrade.h"

namespace {

constexpr int kBarWidth = 20;

}  // namespace

std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

ConsoleDisplay::ConsoleDisplay(std::FILE* out, bool terminal, std::FILE* boxes)
    : out_(out), boxes_(boxes), terminal_(terminal) {}

ConsoleDisplay::~ConsoleDisplay() {
    stop_clock();
    std::lock_guard<std::mutex> hold(lock_);
    if (line_open_) {
        std::fputs("\n", out_);
        std::fflush(out_);
    }
}

std::string ConsoleDisplay::clock_text() const {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", elapsed_seconds_ / 60, elapsed_seconds_ % 60);
    return text;
}

std::string ConsoleDisplay::line_for(int width) const {
    int filled = percent_ * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", percent_);
    std::string line = clock_text() + " " + bar + " " + pct + " " + printable(status_);
    // A line that wraps can no longer be rewritten in place.
    if (width > 1 && static_cast<int>(line.size()) > width - 1) line.resize(width - 1);
    return line;
}

void ConsoleDisplay::draw_line() {
    std::fprintf(out_, "\r\033[K%s", line_for(terminal_width(out_)).c_str());
    std::fflush(out_);
    line_open_ = true;
}

void ConsoleDisplay::set_progress(int position) {
    std::lock_guard<std::mutex> hold(lock_);
    position_ = position;
    update_percent();
}

void ConsoleDisplay::set_range(int maximum) {
    std::lock_guard<std::mutex> hold(lock_);
    range_ = maximum;
    update_percent();
}

// The share shown only grows: a run that goes through its steps never seems to go back.
void ConsoleDisplay::update_percent() {
    const int now = progress_percent(position_, range_);
    if (now <= percent_) return;
    percent_ = now;
    if (terminal_) draw_line();
}

void ConsoleDisplay::set_status(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (text == status_ && (line_open_ || !terminal_)) return;
    status_ = text;
    if (terminal_) {
        draw_line();
    } else {
        std::fprintf(out_, "%s %3d%% %s\n", clock_text().c_str(), percent_,
                     printable(text).c_str());
        std::fflush(out_);
    }
}

void ConsoleDisplay::print_above(const char* label, const std::string& text) {
    if (terminal_) {
        std::fprintf(out_, "\r\033[K%s%s\n", label, printable(text).c_str());
        line_open_ = false;
        if (!status_.empty()) draw_line();
    } else {
        std::fprintf(out_, "%s %s%s\n", clock_text().c_str(), label, printable(text).c_str());
    }
    std::fflush(out_);
}

void ConsoleDisplay::set_info(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (text == info_) return;
    info_ = text;
    if (text.empty()) return;
    print_above(terminal_ ? "" : "info: ", text);
}

void ConsoleDisplay::show_reason(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (text == reason_) return;
    reason_ = text;
    print_above("why: ", text);
}

void ConsoleDisplay::show_no_answer(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    print_above("wait: ", text);
}

void ConsoleDisplay::set_clock_timer(bool running) {
    if (!running) {
        stop_clock();
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (clock_running_) return;
    clock_running_ = true;
    clock_ = std::thread([this] {
        std::unique_lock<std::mutex> hold(lock_);
        auto next = std::chrono::steady_clock::now();
        while (clock_running_) {
            next += std::chrono::seconds(1);
            if (clock_wake_.wait_until(hold, next, [this] { return !clock_running_; })) break;
            ++elapsed_seconds_;
            if (terminal_ && line_open_) draw_line();
        }
    });
}

void ConsoleDisplay::stop_clock() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(lock_);
        clock_running_ = false;
        ending = std::move(clock_);
    }
    clock_wake_.notify_all();
    if (ending.joinable()) ending.join();
}

bool ConsoleDisplay::show(const std::string& text, const std::string& caption, BoxButtons buttons,
                          BoxIcon icon) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (line_open_) {
            std::fputs("\n", out_);
            std::fflush(out_);
            line_open_ = false;
        }
    }
    return PrintingBoxes(boxes_).show(text, caption, buttons, icon);
}
