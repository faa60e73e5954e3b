#include "app/session.h"

Session::~Session() {
    // The worker's own end (upgrade.cpp) tells and records the stop; here it only must not outlive
    // what it works on.
    std::lock_guard<std::mutex> hold(worker.lock);
    if (!worker.thread.joinable()) return;
    if (worker.running) line.cancel.request();
    worker.thread.join();
}
