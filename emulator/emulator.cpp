#include "emulator/emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>

#include "base/clock.h"
#include "emulator/efs.h"
#include "emulator/faults.h"
#include "emulator/modes.h"
#include "emulator/pty_provider.h"
#include "emulator/transcript.h"
#include "emulator/wire.h"

namespace emu {

namespace {

using Clock = std::chrono::steady_clock;

// How long a departing device waits for a client to read its last answer: a pseudo-terminal
// drops what is unread when its master side closes.
constexpr auto kDrainLimit = std::chrono::milliseconds(2000);
constexpr auto kShowUpLimit = std::chrono::milliseconds(50);
constexpr auto kExternalDrain = std::chrono::milliseconds(200);

struct Departure {
    Mode next = Mode::Diag;
    bool final_reset = false;
    bool hang_up = false;
    int away_ms = -1;   // time away; -1: the return delay
    bool stay = false;  // away until replugged
};

}  // namespace

const char* mode_name(Mode mode) {
    switch (mode) {
        case Mode::Diag:
            return "diag";
        case Mode::Dload:
            return "dload";
        case Mode::Stream:
            return "stream";
    }
    return "?";
}

struct Emulator::State {
    explicit State(Options o)
        : options(std::move(o)),
          efs(options.efs_capacity),
          build_version(options.build_version),
          faults(options.seed),
          diag(&efs, &build_version),
          mode(options.start_mode) {
        returns_after_reset = options.return_after_reset;
        for (const Fault& f : options.faults)
            faults.add(f);
    }

    Options options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    // The device, guarded by mutex.
    FileSystem efs;
    std::string build_version;
    FaultSet faults;
    DiagDevice diag;
    DloadDevice dload;
    std::unique_ptr<StreamDevice> stream;
    Flash flash;
    std::optional<std::uint32_t> go;
    std::map<std::tuple<int, int, int>, int> counts;
    int bad_frames = 0;
    bool efs_loaded = false;

    // Presence, guarded by mutex.
    Mode mode;
    bool present = false;
    bool finished = false;
    std::string node;
    std::string error;

    std::function<void(const Change&)> callback;
    std::unique_ptr<PtyProvider> own_provider;
    PortProvider* provider = nullptr;
    Endpoint endpoint;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool running = false;
    // A device that stays away waits for a replug, guarded by mutex.
    bool staying = false;
    bool replugged = false;
    // Whether the device comes back after a final reset; once replugged it always does.
    bool returns_after_reset = true;
    Transcript transcript;
    Bytes answer_frame;  // the frame of the answer being sent, its storage kept between answers

    void run(bool after_reset);
    std::optional<Departure> serve();
    // Takes the frame's bytes as the request (its CRC cut off) when the frame is good.
    std::optional<Departure> process(FrameReader::Frame& frame);
    bool send(const Bytes& packet, bool corrupt_crc, int split_ms);
    bool write_all(const std::uint8_t* data, std::size_t count);
    // Sleeps ms product milliseconds (scaled); false when a stop came first.
    bool rest(int ms);
    void arrive(Mode m, bool after_reset);
    void leave(bool drain);
    // Waits out the time away after a departure; false when a stop came first.
    bool stay_away(const Departure& d);
    // The departure on a line that stays; false when the device is gone for good or stopped.
    bool serve_single_pty(const Departure& d);
    void notify(Change::Kind kind, bool after_reset);
    void start_session(Mode m);
    bool leading_flag() const { return mode != Mode::Diag && options.answer_flag; }
};

void Emulator::State::start_session(Mode m) {
    std::lock_guard lock(mutex);
    mode = m;
    if (m == Mode::Dload) dload = DloadDevice{};
    if (m == Mode::Stream) {
        stream = std::make_unique<StreamDevice>(&options, &flash);
    }
}

void Emulator::State::notify(Change::Kind kind, bool after_reset) {
    Change change;
    {
        std::lock_guard lock(mutex);
        change.kind = kind;
        change.mode = mode;
        change.device_node = endpoint.device_node;
        change.after_reset = after_reset;
    }
    changed.notify_all();
    transcript.event(mode, std::string(kind == Change::Kind::Arrived ? "arrived " : "left ") +
                               change.device_node);
    if (callback) callback(change);
}

void Emulator::State::arrive(Mode m, bool after_reset) {
    Endpoint ep = provider->attach(m, after_reset);
    {
        std::lock_guard lock(mutex);
        endpoint = ep;
        if (ep.master_fd >= 0) {
            fcntl(ep.master_fd, F_SETFL, fcntl(ep.master_fd, F_GETFL) | O_NONBLOCK);
            present = true;
            node = ep.device_node;
            if (after_reset) finished = true;
        } else {
            error = "cannot make a pseudo-terminal";
        }
    }
    if (ep.master_fd >= 0) notify(Change::Kind::Arrived, after_reset);
}

void Emulator::State::leave(bool drain) {
    if (endpoint.master_fd < 0) return;
    // Let the client read the last answer before the line goes.
    std::function<int(const Endpoint&)> unread = options.unread;
    if (own_provider) unread = [this](const Endpoint& ep) { return own_provider->unread(ep); };
    if (!drain) {
        // A line that hung up has nothing left to read.
    } else if (unread && unread(endpoint) >= 0) {
        // The kernel hands written bytes to the slave side a moment later: wait for them to show
        // up there, then for the client to take them.
        const auto show_up = Clock::now() + kShowUpLimit;
        const auto deadline = Clock::now() + kDrainLimit;
        while (unread(endpoint) == 0 && Clock::now() < show_up && !stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        while (unread(endpoint) > 0 && Clock::now() < deadline && !stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
        std::this_thread::sleep_for(kExternalDrain);
    }
    provider->detach(endpoint);
    {
        std::lock_guard lock(mutex);
        present = false;
        node.clear();
    }
    notify(Change::Kind::Left, false);
    std::lock_guard lock(mutex);
    endpoint = Endpoint{};
}

bool Emulator::State::rest(int ms) {
    if (ms <= 0) return !stopping;
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(scaled_ms(ms)),
                     [&] { return stopping.load(); });
    return !stopping;
}

bool Emulator::State::write_all(const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        ssize_t n = ::write(endpoint.master_fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (stopping) return false;
        pollfd p{endpoint.master_fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

bool Emulator::State::send(const Bytes& packet, bool corrupt_crc, int split_ms) {
    const std::size_t size = encode_answer_into(packet, leading_flag(), corrupt_crc, answer_frame);
    const std::uint8_t* frame = answer_frame.data();
    transcript.answer(mode, packet, corrupt_crc ? "bad crc" : "");
    if (split_ms < 0) return write_all(frame, size);
    const std::size_t half = size / 2;
    if (!write_all(frame, half)) return false;
    if (!rest(split_ms)) return false;
    return write_all(frame + half, size - half);
}

std::optional<Departure> Emulator::State::process(FrameReader::Frame& frame) {
    if (frame.overflow || !frame_crc_ok(frame.bytes)) {
        {
            std::lock_guard lock(mutex);
            ++bad_frames;
        }
        transcript.event(mode, frame.overflow ? "frame too long, dropped" : "bad crc, ignored");
        // The boot downloader tells the host about line noise; the others ignore it.
        if (mode == Mode::Dload) send(DloadDevice::nak(kNakBadCrc), false, -1);
        return std::nullopt;
    }
    frame.bytes.resize(frame.bytes.size() - 2);
    const Bytes& request = frame.bytes;
    transcript.request(mode, request);
    if (options.on_request) options.on_request(mode, request);

    std::vector<Fault> hits;
    Reply reply;
    bool substituted = false;
    {
        std::lock_guard lock(mutex);
        ++counts[{static_cast<int>(mode), request[0], -1}];
        if (request.size() >= 4 && request[0] == 0x4B && request[1] == 0x13)
            ++counts[{static_cast<int>(mode), 0x4B, request[2] + 256 * request[3]}];
        hits = faults.hits(mode, request);
        for (const Fault& f : hits) {
            switch (f.kind) {
                case FaultKind::Drop:
                    transcript.event(mode, "fault: request dropped");
                    return std::nullopt;
                case FaultKind::HangUp: {
                    transcript.event(mode, "fault: hang-up");
                    Departure d;
                    d.next = f.back.value_or(mode);
                    d.hang_up = true;
                    d.away_ms = f.delay_ms;
                    d.stay = f.stays_away;
                    return d;
                }
                case FaultKind::Nak:
                    reply.packet = DloadDevice::nak(static_cast<std::uint16_t>(f.code));
                    substituted = true;
                    break;
                case FaultKind::DiagError:
                    reply.packet = DiagDevice::error_answer(request);
                    substituted = true;
                    break;
                case FaultKind::LogInstead:
                    reply.packet = StreamDevice::log_message("fault injected");
                    substituted = true;
                    break;
                case FaultKind::EfsError:
                    if (auto answer = FileSystem::error_answer(
                            request, f.code > 0 ? f.code : kDefaultEfsError)) {
                        reply.packet = std::move(*answer);
                        substituted = true;
                    }
                    break;
                default:
                    break;
            }
            if (substituted) break;
        }
        if (!substituted) {
            switch (mode) {
                case Mode::Diag:
                    reply = diag.handle(request);
                    break;
                case Mode::Dload:
                    reply = dload.handle(request);
                    break;
                case Mode::Stream:
                    reply = stream->handle(request);
                    break;
            }
            if (mode == Mode::Dload && reply.leave_to) go = dload.go_address();
            if (reply.final_reset && stream->wrote_image())
                build_version = options.new_build_version;
        }
    }
    if (substituted) transcript.event(mode, "fault: answer replaced");
    if (reply.packet.empty()) return std::nullopt;

    bool corrupt = false;
    bool lost = false;
    int split_ms = -1;
    for (const Fault& f : hits) {
        switch (f.kind) {
            case FaultKind::Lost:
                lost = true;
                break;
            case FaultKind::BadCrc:
                corrupt = true;
                break;
            case FaultKind::Split:
                split_ms = f.delay_ms >= 0 ? f.delay_ms : kDefaultSplitMs;
                break;
            case FaultKind::Delay:
                transcript.event(mode, "fault: answer delayed");
                if (!rest(f.delay_ms >= 0 ? f.delay_ms : kDefaultDelayMs)) return std::nullopt;
                break;
            case FaultKind::LogBefore:
                if (mode != Mode::Stream) break;
                send(StreamDevice::log_message("fault injected"), false, -1);
                if (!rest(f.delay_ms >= 0 ? f.delay_ms : kDefaultLogGapMs)) return std::nullopt;
                break;
            default:
                break;
        }
    }
    if (lost) {
        transcript.event(mode, "fault: answer lost");
    } else {
        send(reply.packet, corrupt, split_ms);
    }
    if (!reply.leave_to) return std::nullopt;
    Departure d;
    d.next = *reply.leave_to;
    d.final_reset = reply.final_reset;
    return d;
}

std::optional<Departure> Emulator::State::serve() {
    FrameReader reader;
    std::vector<FrameReader::Frame> frames;
    std::uint8_t buffer[4096];
    while (!stopping) {
        pollfd p{endpoint.master_fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = -1;
        if (p.revents & POLLIN) n = ::read(endpoint.master_fd, buffer, sizeof buffer);
        if (n <= 0) {
            // No client has the line open: the master side reports a hang-up until one does.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        frames.clear();
        reader.feed(buffer, static_cast<std::size_t>(n), &frames);
        for (auto& frame : frames) {
            if (stopping) return std::nullopt;
            if (auto departure = process(frame)) return departure;
        }
    }
    return std::nullopt;
}

// The same line stays; the device is away for the return delay and what arrives meanwhile is lost.
bool Emulator::State::serve_single_pty(const Departure& d) {
    {
        std::lock_guard lock(mutex);
        present = false;
    }
    notify(Change::Kind::Left, false);
    {
        std::lock_guard lock(mutex);
        mode = d.next;
    }
    if (!rest(options.return_delay_ms)) return false;
    std::uint8_t sink[4096];
    while (::read(endpoint.master_fd, sink, sizeof sink) > 0) {
    }
    if (d.final_reset && !options.return_after_reset) {
        std::lock_guard lock(mutex);
        finished = true;
        changed.notify_all();
        return false;
    }
    start_session(d.next);
    {
        std::lock_guard lock(mutex);
        present = true;
        if (d.final_reset) finished = true;
    }
    notify(Change::Kind::Arrived, d.final_reset);
    return true;
}

bool Emulator::State::stay_away(const Departure& d) {
    const bool until_replug = d.stay || (d.final_reset && !returns_after_reset);
    if (!until_replug) return rest(d.away_ms >= 0 ? d.away_ms : options.return_delay_ms);
    // A device that does not come back after its final reset is finished once the return delay
    // has passed.
    if (d.final_reset && !rest(options.return_delay_ms)) return false;
    std::unique_lock lock(mutex);
    if (d.final_reset) finished = true;
    staying = true;
    replugged = false;
    changed.notify_all();
    changed.wait(lock, [&] { return replugged || stopping.load(); });
    staying = false;
    return !stopping;
}

void Emulator::State::run(bool after_reset) {
    for (;;) {
        std::optional<Departure> d = serve();
        if (!d) return;
        if (options.single_pty && !d->hang_up) {
            if (!serve_single_pty(*d)) return;
            continue;
        }
        const Mode left = mode;
        // Pulled out: the line goes dead at once, with nothing left for the client to read.
        if (d->hang_up) provider->hang_up(endpoint);
        leave(!d->hang_up);
        {
            std::lock_guard lock(mutex);
            mode = d->next;
        }
        if (!stay_away(*d)) return;
        // Plugged in again after staying away, the device starts afresh. A hang-up brings it back
        // in the session it left, unless it comes back in another mode.
        if (d->stay) {
            start_session(d->next);
            std::lock_guard lock(mutex);
            efs.forget_handles();
        } else if (!d->hang_up || d->next != left) {
            start_session(d->next);
        }
        after_reset = d->final_reset;
        arrive(d->next, after_reset);
        if (endpoint.master_fd < 0) return;
    }
}

// --- Emulator ---

// The file system is loaded at once, so that tests may add to it before start().
Emulator::Emulator(Options options) : state_(std::make_unique<State>(std::move(options))) {
    State& s = *state_;
    s.efs_loaded = s.efs.load(s.options.efs_root, &s.error);
}

Emulator::~Emulator() {
    stop();
}

bool Emulator::start() {
    State& s = *state_;
    if (s.running) return true;
    if (!s.efs_loaded) return false;
    if (!s.options.transcript.empty() && !s.transcript.open(s.options.transcript)) {
        std::lock_guard lock(s.mutex);
        s.error = "cannot write the transcript " + s.options.transcript;
        return false;
    }
    if (s.options.provider) {
        s.provider = s.options.provider;
    } else {
        s.own_provider = std::make_unique<PtyProvider>(s.options.cooked_line);
        s.provider = s.own_provider.get();
    }
    s.stopping = false;
    s.start_session(s.options.start_mode);
    s.arrive(s.options.start_mode, false);
    if (s.endpoint.master_fd < 0) return false;
    s.running = true;
    s.thread = std::thread([&s] { s.run(false); });
    return true;
}

void Emulator::stop() {
    State& s = *state_;
    if (!s.running) return;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.changed.notify_all();
    s.thread.join();
    s.running = false;
    if (s.endpoint.master_fd >= 0) {
        s.provider->detach(s.endpoint);
        std::lock_guard lock(s.mutex);
        s.endpoint = Endpoint{};
        s.present = false;
        s.node.clear();
    }
}

std::string Emulator::error() const {
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

std::string Emulator::device_node() const {
    std::lock_guard lock(state_->mutex);
    return state_->node;
}

Mode Emulator::mode() const {
    std::lock_guard lock(state_->mutex);
    return state_->mode;
}

bool Emulator::present() const {
    std::lock_guard lock(state_->mutex);
    return state_->present;
}

bool Emulator::wait_for(Mode mode, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->present && state_->mode == mode; });
}

bool Emulator::finished() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

bool Emulator::wait_finished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->finished; });
}

void Emulator::replug() {
    std::lock_guard lock(state_->mutex);
    if (!state_->staying) return;
    state_->replugged = true;
    state_->returns_after_reset = true;
    state_->changed.notify_all();
}

bool Emulator::wait_unplugged(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->staying; });
}

void Emulator::on_change(std::function<void(const Change&)> callback) {
    state_->callback = std::move(callback);
}

void Emulator::add_fault(const Fault& fault) {
    std::lock_guard lock(state_->mutex);
    state_->faults.add(fault);
}

void Emulator::clear_faults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

EfsType Emulator::efs_type(const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.type(path);
}

std::optional<std::vector<std::uint8_t>> Emulator::efs_file(const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.file(path);
}

std::optional<std::string> Emulator::efs_link_target(const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.link_target(path);
}

std::vector<std::string> Emulator::efs_list(const std::string& dir) const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.list(dir);
}

bool Emulator::efs_put_file(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::lock_guard lock(state_->mutex);
    return state_->efs.put_file(path, data);
}

bool Emulator::efs_put_dir(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    return state_->efs.put_dir(path);
}

bool Emulator::efs_put_link(const std::string& path, const std::string& target) {
    std::lock_guard lock(state_->mutex);
    return state_->efs.put_link(path, target);
}

int Emulator::efs_open_handles() const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.open_handles();
}

std::vector<std::uint8_t> Emulator::ram(std::uint32_t address, std::size_t length) const {
    std::lock_guard lock(state_->mutex);
    return state_->dload.ram(address, length);
}

std::optional<std::uint32_t> Emulator::go_address() const {
    std::lock_guard lock(state_->mutex);
    return state_->go;
}

std::optional<FlashImage> Emulator::flash_image(int type) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->flash.images.find(type);
    if (it == state_->flash.images.end()) return std::nullopt;
    return it->second;
}

std::optional<std::vector<std::uint8_t>> Emulator::partition_received() const {
    std::lock_guard lock(state_->mutex);
    return state_->flash.partition;
}

std::string Emulator::build_version() const {
    std::lock_guard lock(state_->mutex);
    return state_->build_version;
}

int Emulator::request_count(Mode mode, int command, int efs_command) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->counts.find({static_cast<int>(mode), command, efs_command});
    return it == state_->counts.end() ? 0 : it->second;
}

int Emulator::requests_received() const {
    std::lock_guard lock(state_->mutex);
    int total = 0;
    for (const auto& [key, count] : state_->counts)
        if (std::get<2>(key) == -1) total += count;
    return total;
}

int Emulator::bad_frames() const {
    std::lock_guard lock(state_->mutex);
    return state_->bad_frames;
}

bool Emulator::dump_efs(const std::string& dir) const {
    std::lock_guard lock(state_->mutex);
    return state_->efs.dump(dir);
}

bool Emulator::dump_flash(const std::string& dir) const {
    namespace fs = std::filesystem;
    std::lock_guard lock(state_->mutex);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return false;
    auto write = [&](const std::string& name, const std::vector<std::uint8_t>& data) {
        std::ofstream out(fs::path(dir) / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        return static_cast<bool>(out);
    };
    bool ok = true;
    for (const auto& [type, image] : state_->flash.images) {
        ok &= write("image-" + std::to_string(type) + ".bin", image.data);
        if (!image.header.empty())
            ok &= write("header-" + std::to_string(type) + ".bin", image.header);
    }
    if (state_->flash.partition) ok &= write("partition.bin", *state_->flash.partition);
    if (auto span = state_->dload.written_span()) {
        ok &= write(
            "programmer-ram.bin",
            state_->dload.ram(span->first, static_cast<std::size_t>(span->second - span->first)));
        char text[64];
        std::snprintf(text, sizeof text, "start 0x%08X\ngo 0x%08X\n", span->first,
                      state_->go.value_or(0));
        std::ofstream out(fs::path(dir) / "programmer.txt", std::ios::trunc);
        out << text;
        ok &= static_cast<bool>(out);
    }
    return ok;
}

}  // namespace emu
