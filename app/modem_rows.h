// What a run on several modems at once shows on standard error: a row per modem.
//
// On a terminal the rows stay in place, one line per modem (its location, percentage and status),
// rewritten as they change; information and reasons are printed above them. Elsewhere (a pipe, a
// file) each change of a modem's status, information or reason is one plain line that starts with
// the modem's location, and there are no control characters.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "res/resource.h"

class ModemRows {
  public:
    // names: how each row is labelled (the modems' locations), in the order of the rows.
    ModemRows(std::FILE* out, bool terminal, std::vector<std::string> names);
    // Ends the rows: the next text goes below them.
    ~ModemRows();
    ModemRows(const ModemRows&) = delete;
    ModemRows& operator=(const ModemRows&) = delete;

    // The dialog that the run of modem k reports to.
    UpgradeDialog& row(std::size_t k);
    // A reason, or a notice that the modem is not answering, for modem k.
    void show_reason(std::size_t k, const std::string& text);
    void show_notice(std::size_t k, const std::string& text);

  private:
    class Row;
    struct Shown {
        std::string status;
        std::string info;
        std::string reason;
        int position = 0;
        int range = PROGRESS_RANGE_MAX;
        int percent = 0;  // the highest share shown so far
    };

    // What the rows' dialogs hand on.
    void set_position(std::size_t k, int position);
    void set_range(std::size_t k, int range);
    void set_status(std::size_t k, const std::string& text);
    void set_info(std::size_t k, const std::string& text);

    void update_percent(std::size_t k);                                           // lock held
    void print_above(std::size_t k, const char* label, const std::string& text);  // lock held
    std::string line_of(std::size_t k, int width) const;                          // lock held
    void draw_rows();                                                             // lock held

    std::FILE* out_;
    bool terminal_;
    std::vector<std::string> names_;
    std::size_t name_width_ = 0;
    std::vector<std::unique_ptr<Row>> rows_;
    std::mutex lock_;
    std::vector<Shown> shown_;  // lock held
    bool drawn_ = false;        // the rows are on the terminal, the cursor below them
};
