#include "app/modem_rows.h"

#include <algorithm>

#include "app/console_display.h"
#include "app/terminal.h"

// A modem's run reports to its row as it would to the dialog; the row has no clock, no Start and
// nothing to close.
class ModemRows::Row : public UpgradeDialog {
  public:
    Row(ModemRows& rows, std::size_t k) : rows_(rows), k_(k) {}
    void set_progress(int position) override { rows_.set_position(k_, position); }
    void set_range(int maximum) override { rows_.set_range(k_, maximum); }
    void set_status(const std::string& text) override { rows_.set_status(k_, text); }
    void set_info(const std::string& text) override { rows_.set_info(k_, text); }
    void set_clock_timer(bool) override {}
    void enable_start(bool) override {}
    void post_close() override {}

  private:
    ModemRows& rows_;
    std::size_t k_;
};

ModemRows::ModemRows(std::FILE* out, bool terminal, std::vector<std::string> names)
    : out_(out), terminal_(terminal), names_(std::move(names)), shown_(names_.size()) {
    for (std::string& name : names_) {
        name = printable(name);
        name_width_ = std::max(name_width_, name.size());
    }
    for (std::size_t k = 0; k < names_.size(); ++k)
        rows_.push_back(std::make_unique<Row>(*this, k));
}

ModemRows::~ModemRows() = default;

UpgradeDialog& ModemRows::row(std::size_t k) {
    return *rows_.at(k);
}

std::string ModemRows::line_of(std::size_t k, int width) const {
    const Shown& shown = shown_[k];
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", shown.percent);
    std::string line = names_[k] + std::string(name_width_ - names_[k].size(), ' ') + "  " +
                       percent + "  " + printable(shown.status);
    // A line that wraps would push the rows below it out of place.
    if (width > 1 && static_cast<int>(line.size()) > width - 1) line.resize(width - 1);
    return line;
}

// The cursor sits below the rows once they are drawn: up to the first, then each one rewritten.
void ModemRows::draw_rows() {
    if (drawn_ && !names_.empty()) std::fprintf(out_, "\033[%dA", static_cast<int>(names_.size()));
    const int width = terminal_width(out_);
    for (std::size_t k = 0; k < names_.size(); ++k)
        std::fprintf(out_, "\r\033[K%s\n", line_of(k, width).c_str());
    std::fflush(out_);
    drawn_ = true;
}

void ModemRows::print_above(std::size_t k, const char* label, const std::string& text) {
    if (terminal_) {
        // The text takes the first row's place; the rows are drawn again below it.
        if (drawn_ && !names_.empty())
            std::fprintf(out_, "\033[%dA\r\033[J", static_cast<int>(names_.size()));
        std::fprintf(out_, "%s: %s%s\n", names_[k].c_str(), label, printable(text).c_str());
        drawn_ = false;
        draw_rows();
        return;
    }
    std::fprintf(out_, "%s: %s%s\n", names_[k].c_str(), label, printable(text).c_str());
    std::fflush(out_);
}

// The share shown only grows, as on the single run's line; the terminal is redrawn only when a
// whole percent is passed, not at every block.
void ModemRows::update_percent(std::size_t k) {
    Shown& shown = shown_[k];
    const int now = progress_percent(shown.position, shown.range);
    if (now <= shown.percent) return;
    shown.percent = now;
    if (terminal_) draw_rows();
}

void ModemRows::set_position(std::size_t k, int position) {
    std::lock_guard<std::mutex> hold(lock_);
    shown_[k].position = position;
    update_percent(k);
}

void ModemRows::set_range(std::size_t k, int range) {
    std::lock_guard<std::mutex> hold(lock_);
    shown_[k].range = range;
    update_percent(k);
}

void ModemRows::set_status(std::size_t k, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (text == shown_[k].status) return;
    shown_[k].status = text;
    if (terminal_) {
        draw_rows();
        return;
    }
    std::fprintf(out_, "%s: %3d%% %s\n", names_[k].c_str(), shown_[k].percent,
                 printable(text).c_str());
    std::fflush(out_);
}

void ModemRows::set_info(std::size_t k, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (text == shown_[k].info) return;
    shown_[k].info = text;
    if (!text.empty()) print_above(k, "info: ", text);
}

void ModemRows::show_reason(std::size_t k, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    // A port tried in every pass gives the same reason again and again.
    if (text == shown_[k].reason) return;
    shown_[k].reason = text;
    print_above(k, "why: ", text);
}

void ModemRows::show_notice(std::size_t k, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    print_above(k, "wait: ", text);
}
