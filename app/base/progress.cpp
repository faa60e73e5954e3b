#include "app/base/progress.h"

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

void progress_tick(DialogHandle dialog, int* counter) {
    if (!dialog || !counter) return;
    dialog->set_progress(*counter);
    ++*counter;
}
