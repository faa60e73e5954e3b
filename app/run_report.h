// What a run without a window ended with, for its JSON document and the end table of a run on
// several modems: the history entry its worker recorded (or that of a run that never began) and
// the reason it gives.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/json_documents.h"

class Session;

// What a run that was stopped says as its reason, as its log does.
constexpr const char* kStoppedReason = "Stopped by the user";

// The reason a run told last: the line that says why it failed. Set from the thread that tells it.
class LastReason {
  public:
    void set(const std::string& reason) {
        std::lock_guard<std::mutex> hold(lock_);
        reason_ = reason;
    }
    std::optional<std::string> take() {
        std::lock_guard<std::mutex> hold(lock_);
        if (reason_.empty()) return std::nullopt;
        return std::exchange(reason_, std::string());
    }

  private:
    std::mutex lock_;
    std::string reason_;
};

// Taken once the session's worker has ended, while its log is still open. refusal: why the run did
// not begin (several modems and none chosen), empty when it began; stopped: the exit status of the
// interrupt that stopped it, or 0. The exit status is left for the caller.
ModemRunReport run_report(Session& session, const std::string& refusal, int stopped,
                          LastReason* reason);
