// The dialog as the protocol code sees it: a progress bar, a status line and an information line.
// A long operation receives a DialogHandle, or nullptr for none; with none nothing is written and
// no progress tick happens. The application's dialogs implement this interface and decide where
// each line is shown.
#pragma once

#include <string>

class Progress {
  public:
    virtual ~Progress() = default;
    virtual void set_progress(int position) = 0;
    // The bar's range, 0..maximum; the dialog keeps its own until a run sets the number of ticks
    // it will make.
    virtual void set_range(int /*maximum*/) {}
    virtual void set_status(const std::string& text) = 0;
    virtual void set_info(const std::string& text) = 0;
};

using DialogHandle = Progress*;

// Each does nothing when dialog is nullptr.
void set_progress(DialogHandle dialog, int position);
void set_progress_range(DialogHandle dialog, int maximum);
void set_status(DialogHandle dialog, const std::string& text);
void set_info(DialogHandle dialog, const std::string& text);

// The bar's unit is the time one byte takes over the device's line, so that equal time moves the
// bar about equally whatever a step does. Data moves in requests of at most a block, each answered
// before the next goes, so a request costs its bytes and a round trip; a wait costs its length.
constexpr int kLineBytesPerMs = 500;  // the modem's USB line: about 500 KB/s
constexpr int kExchangeCost = 1000;   // a request and its answer: about 2 ms of round trip
constexpr int kTransferBlock = 512;   // the block of a file transfer or an image stream

// One request carrying bytes of data.
constexpr long long exchange_cost(long long bytes) {
    return bytes + kExchangeCost;
}
// A file of size bytes sent or read back block by block: a short (or empty) block ends it.
constexpr long long transfer_cost(long long size) {
    return size + (size / kTransferBlock + 1) * static_cast<long long>(kExchangeCost);
}
constexpr long long wait_cost(long long ms) {
    return ms * kLineBytesPerMs;
}

// The whole percent of range that position stands for, within 0..100 (0 for an empty range).
int progress_percent(long long position, long long range);

// The counter holds the work done so far in the bar's unit. Moves it on by amount (never past the
// largest int) and, with show, sets the bar to it. Nothing happens without a dialog or a counter.
void progress_advance(DialogHandle dialog, int* counter, long long amount, bool show = true);
// The end of a step: the counter is moved on to position unless it is already past it (a step
// that was tried again), and shown.
void progress_reach(DialogHandle dialog, int* counter, long long position);
