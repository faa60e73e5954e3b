// A dialog for tests: records every write to the progress bar, the status line and the
// information line.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/progress.h"

class RecordingProgress : public Progress {
  public:
    void set_progress(int position) override {
        std::lock_guard lock(mutex_);
        positions_.push_back(position);
    }
    void set_status(const std::string& text) override {
        std::lock_guard lock(mutex_);
        statuses_.push_back(text);
    }
    void set_info(const std::string& text) override {
        std::lock_guard lock(mutex_);
        infos_.push_back(text);
    }
    std::vector<int> positions() const {
        std::lock_guard lock(mutex_);
        return positions_;
    }
    std::vector<std::string> statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::string> infos() const {
        std::lock_guard lock(mutex_);
        return infos_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<int> positions_;
    std::vector<std::string> statuses_;
    std::vector<std::string> infos_;
};
