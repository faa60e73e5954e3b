// The message boxes of a run without a window: printed, answered with OK at once.
#pragma once

#include "app/dialog.h"

// Box text on standard output; an error box goes to standard error. Each box but a question is
// followed, on the same stream, by "Log: " and the full path of the download log.
class PrintingBoxes : public MessageBoxes {
  public:
    bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
              BoxIcon icon) override;
};
