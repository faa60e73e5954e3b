#include "base/progress.h"

#include <algorithm>
#include <limits>

void set_progress(DialogHandle dialog, int position) {
    if (dialog) dialog->set_progress(position);
}

void set_progress_range(DialogHandle dialog, int maximum) {
    if (dialog) dialog->set_range(maximum);
}

void set_status(DialogHandle dialog, const std::string& text) {
    if (dialog) dialog->set_status(text);
}

void set_info(DialogHandle dialog, const std::string& text) {
    if (dialog) dialog->set_info(text);
}

namespace {

int clamped(long long value) {
    return static_cast<int>(std::clamp<long long>(value, 0, std::numeric_limits<int>::max()));
}

}  // namespace

int progress_percent(long long position, long long range) {
    if (range <= 0) return 0;
    return static_cast<int>(std::clamp<long long>(position, 0, range) * 100 / range);
}

void progress_advance(DialogHandle dialog, int* counter, long long amount, bool show) {
    if (!dialog || !counter) return;
    *counter = clamped(static_cast<long long>(*counter) + std::max(0LL, amount));
    if (show) dialog->set_progress(*counter);
}

void progress_reach(DialogHandle dialog, int* counter, long long position) {
    if (!dialog || !counter) return;
    *counter = std::max(*counter, clamped(position));
    dialog->set_progress(*counter);
}
