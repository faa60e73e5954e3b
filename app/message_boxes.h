// The message boxes of a run without a window: printed, answered with OK at once.
#pragma once

#include <cstdio>

#include "app/dialog.h"

// Box text on standard output (or the stream given); an error box goes to standard error. Each box
// but a question is followed, on the same stream, by "Log: " and the full path of the download log.
class PrintingBoxes : public MessageBoxes {
  public:
    explicit PrintingBoxes(std::FILE* out = stdout) : out_(out) {}
    bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
              BoxIcon icon) override;

  private:
    std::FILE* out_;
};
