#include "diag/efs.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/log_sink.h"
#include "diag/efs_wire.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"

// ---------------------------------------------------------------------------------------------
// Shared request header and exchange.

int put_efs_header(std::uint8_t* request, std::uint16_t code) {
    request[0] = kDiagSubsystemDispatch;
    request[1] = kEfsSubsystem;
    put_le16(request + 2, code);
    return kEfsHeaderLength;
}

bool efs_header_is(const std::uint8_t* answer, std::uint16_t code) {
    return answer[0] == kDiagSubsystemDispatch && answer[1] == kEfsSubsystem &&
           answer[2] == static_cast<std::uint8_t>(code);
}

namespace {

// Clears the first `clear` bytes of answer (the caller knows the rest to be zero) and sends the
// request; *received as apply_diag_cmd gives it.
int send_cleared(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* answer,
                 int capacity, int clear, int* received) {
    std::fill(answer, answer + std::clamp(clear, 0, capacity), 0);
    const std::uint16_t crc = crc16_bits(request, length * 8);
    return apply_diag_cmd(line, request, length, answer, capacity, crc, received) ? 0
                                                                                  : kEfsSendFailed;
}

}  // namespace

int efs_send(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* answer,
             int capacity) {
    return send_cleared(line, request, length, answer, capacity, capacity, nullptr);
}

namespace {

// Open and opendir answers: the code, a handle at 4 and an error code at 8.
constexpr int kOpenAnswerPacket = 12;

// Notes the handle a decoded open or opendir answer names; a packet of any other kind is passed.
void note_named_handle(DeviceLine& line, const std::uint8_t* packet, int length) {
    if (length < kOpenAnswerPacket) return;
    for (std::uint16_t code : {kEfsOpen, kEfsOpendir}) {
        if (!efs_header_is(packet, code) || get_le32(packet + 8) != 0) continue;
        const StrayHandle named{code, get_le32(packet + 4)};
        for (const StrayHandle& h : line.stray_handles)
            if (h.code == named.code && h.handle == named.handle) return;
        line.stray_handles.push_back(named);
    }
}

// Notes the handles named by the whole frames at the start of bytes; an unfinished frame stays.
void note_frames(DeviceLine& line, std::vector<std::uint8_t>& bytes) {
    auto start = bytes.begin();
    for (auto flag = std::find(start, bytes.end(), kFrameFlag); flag != bytes.end();
         flag = std::find(start, bytes.end(), kFrameFlag)) {
        std::vector<std::uint8_t> frame(start, flag + 1);
        const int decoded = check_buf(frame.data(), static_cast<int>(frame.size()), line.log());
        if (decoded > 2 && crc16_check(frame.data(), decoded))
            note_named_handle(line, frame.data(), decoded - 2);
        start = flag + 1;
    }
    bytes.erase(bytes.begin(), start);
}

// What a read took after the answer's closing flag (count: the bytes the read took): answers that
// came late, or after it.
void note_tail(DeviceLine& line, const std::uint8_t* answer, int count) {
    const std::uint8_t* flag = std::find(answer, answer + count, kFrameFlag);
    if (flag >= answer + count) return;
    std::vector<std::uint8_t> tail(flag + 1, answer + count);
    note_frames(line, tail);
}

}  // namespace

// Every answer an exchange reads is looked at for handles, the late ones taken with it included:
// a request sent again may have been carried out each time.
//
// After the clearing, only what the reads wrote can differ from zero, and decoding in place moves
// bytes towards the start only: clearing the packet's tail up to what was read clears it all.
int efs_exchange(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* answer,
                 int capacity, int* packet, int* dirty) {
    int received = capacity;
    const int clear = dirty ? *dirty : capacity;
    const int failure = send_cleared(line, request, length, answer, capacity, clear, &received);
    if (dirty) *dirty = received;
    if (failure) return failure;
    note_tail(line, answer, std::min(received, capacity));
    const int decoded = std::clamp(check_buf(answer, capacity, line.log()), 0, capacity);
    // A packet of at least one byte: the bare CRC of an empty packet answers nothing.
    if (decoded < 3 || !crc16_check(answer, decoded)) {
        // An open's answer whose only fault is its CRC still tells the handle it opened.
        const std::uint16_t code = get_le16(request + 2);
        if ((code == kEfsOpen || code == kEfsOpendir) && decoded == kOpenAnswerPacket + 2 &&
            efs_header_is(answer, code))
            note_named_handle(line, answer, kOpenAnswerPacket);
        return kEfsCrcFailed;
    }
    *packet = decoded - 2;
    note_named_handle(line, answer, *packet);
    std::fill(answer + *packet, answer + std::max(*packet, received), 0);
    if (dirty) *dirty = *packet;
    return 0;
}

void take_named_handle(DeviceLine& line, const std::uint8_t* handle, bool directory) {
    const std::uint16_t code = directory ? kEfsOpendir : kEfsOpen;
    const std::uint32_t value = get_le32(handle);
    std::erase_if(line.stray_handles,
                  [&](const StrayHandle& h) { return h.code == code && h.handle == value; });
}

void read_late_answers(DeviceLine& line, int reads) {
    std::vector<std::uint8_t> buffer(kEfsLargeAnswer);
    std::vector<std::uint8_t> pending;
    for (int read = 0; read < reads; ++read) {
        const int got = receive_late_bytes(line, buffer.data(), static_cast<int>(buffer.size()));
        if (got <= 0) return;
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + got);
        note_frames(line, pending);
    }
}

void close_stray_handles(DeviceLine& line) {
    // Closing reads answers too, which may name more; each close is tried once per handle.
    for (int closes = 0; !line.stray_handles.empty() && closes < kMaxStrayCloses; ++closes) {
        const StrayHandle stray = line.stray_handles.front();
        line.stray_handles.erase(line.stray_handles.begin());
        const bool directory = stray.code == kEfsOpendir;
        line.log().write("%s: a repeated request left handle 0x%08x open, closing it\n",
                         directory ? "open_efs_dir" : "open_efs_file", stray.handle);
        std::uint8_t handle[4];
        put_le32(handle, stray.handle);
        if (directory) {
            close_efs_dir(line, handle);
        } else {
            close_efs_file(line, handle);
        }
    }
}

namespace {

// Open flags and permission bits as the device's file system takes them.
constexpr std::uint32_t kOpenReadOnly = 0x000;
constexpr std::uint32_t kOpenWriteOnly = 0x001;
constexpr std::uint32_t kOpenCreate = 0x040;
constexpr std::uint32_t kOpenTruncate = 0x200;
constexpr std::uint32_t kModeReadAll = 0x124;       // r--r--r--
constexpr std::uint32_t kModeReadWriteAll = 0x1B6;  // rw-rw-rw-
constexpr std::uint16_t kModeEverything = 0x1FF;    // rwxrwxrwx

// Where an answer's fields sit, after the header: a handle (open, opendir) at 4, and the size of
// a stat answer at 12.
constexpr int kHandleAt = kEfsHeaderLength;
constexpr int kHandleLength = 4;
constexpr int kStatSizeAt = 12;

// Answers judged by their error code: where it sits, and the packet length that holds it (the
// stat answer must also hold the size).
struct StatusLayout {
    int error_at;
    int min_packet;
};
constexpr StatusLayout kStatusAnswer = {4, 8};   // header, error code
constexpr StatusLayout kHandleAnswer = {8, 12};  // header, handle, error code
constexpr StatusLayout kStatAnswer = {4, kStatSizeAt + 4};

// Failure kinds of the operations' own checks.
constexpr int kBadHeader = kEfsOwnFailure;
constexpr int kBadData = kEfsOwnFailure + 1;

// Appends path and its NUL at *length. A path that would not fit the request buffer is refused
// before anything is sent: cutting it would reach a different file.
bool put_path(const char* operation, std::uint8_t* request, int* length, const char* path,
              LogSink& log) {
    if (!path) {
        log.write("%s: null path error! \n", operation);
        return false;
    }
    const std::size_t size = std::strlen(path) + 1;
    if (size > static_cast<std::size_t>(kEfsRequestBuffer - *length)) {
        log.write("%s: path too long error! %s\n", operation, path);
        return false;
    }
    std::memcpy(request + *length, path, size);
    *length += static_cast<int>(size);
    return true;
}

// The handle an open, create or opendir request refers to, at request offsets 4 to 7.
int put_handle(std::uint8_t* request, const std::uint8_t* handle) {
    std::memcpy(request + kEfsHeaderLength, handle, kHandleLength);
    return kEfsHeaderLength + kHandleLength;
}

bool error_code_is_zero(const std::uint8_t* answer, int offset) {
    return get_le32(answer + offset) == 0;
}

// What an operation logs after its tenth failed attempt, by the kind of that failure.
struct FailureMessages {
    const char* send;
    const char* crc;
    const char* header;
    const char* data;
};

void log_failure(int failure, const FailureMessages& messages, LogSink& log) {
    switch (failure) {
        case kEfsSendFailed:
            log.write("%s", messages.send);
            break;
        case kEfsCrcFailed:
            log.write("%s", messages.crc);
            break;
        case kBadHeader:
            log.write("%s", messages.header);
            break;
        default:
            log.write("%s", messages.data);
            break;
    }
}

// One attempt of an operation that the device answers with a status: the exchange, the header
// check on the operation's own code, then the error code, which must be zero. The answer must be
// long enough to hold every field of the layout.
int status_attempt(DeviceLine& line, const std::uint8_t* request, int length,
                   std::vector<std::uint8_t>& answer, std::uint16_t header_code,
                   const StatusLayout& layout) {
    int packet = 0;
    if (int failure = efs_exchange(line, request, length, answer.data(),
                                   static_cast<int>(answer.size()), &packet))
        return failure;
    if (!efs_header_is(answer.data(), header_code)) return kBadHeader;
    if (packet < layout.min_packet || !error_code_is_zero(answer.data(), layout.error_at))
        return kBadData;
    return 0;
}

// Closing a file or a listing. Request: header, handle. Answer: error code at 4. A close whose
// answer was lost was still carried out, and the device then refuses the repeated close as a
// handle it does not know: after an unanswered attempt that refusal means the handle is gone.
int close_handle(DeviceLine& line, const char* operation, std::uint16_t code,
                 const std::uint8_t* handle, const FailureMessages& messages) {
    if (!handle) return 0;
    std::uint8_t request[kEfsHeaderLength + kHandleLength];
    put_efs_header(request, code);
    const int length = put_handle(request, handle);
    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    bool unanswered = false;
    bool closed_before = false;
    const int failure = run_attempts(line, [&] {
        int packet = 0;
        int result = efs_exchange(line, request, length, answer.data(), kEfsSmallAnswer, &packet);
        if (result == 0 && !efs_header_is(answer.data(), code)) result = kBadHeader;
        if (result != 0) {
            unanswered = true;
            return result;
        }
        if (packet < kStatusAnswer.min_packet) return kBadData;
        if (error_code_is_zero(answer.data(), kStatusAnswer.error_at)) return 0;
        if (!unanswered) return kBadData;
        closed_before = true;
        return 0;
    });
    if (failure == 0) {
        if (closed_before) line.log().write("%s: closed by an earlier attempt\n", operation);
        return 1;
    }
    log_failure(failure, messages, line.log());
    return 0;
}

// Open, create and opendir: the attempts, then the handle. A request sent again after an attempt
// without a usable answer may have been carried out each time, and the device then holds a handle
// for each: the answers that come late are read, and every handle but the one kept is closed.
int open_attempts(DeviceLine& line, const std::uint8_t* request, int length, std::uint16_t code,
                  std::uint8_t* handle, const FailureMessages& messages) {
    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    int attempts = 0;
    const int failure = run_attempts(line, [&] {
        ++attempts;
        return status_attempt(line, request, length, answer, code, kHandleAnswer);
    });
    if (failure == 0) {
        std::memcpy(handle, &answer[kHandleAt], kHandleLength);
        take_named_handle(line, handle, code == kEfsOpendir);
        if (attempts > 1) read_late_answers(line, attempts);
    } else {
        log_failure(failure, messages, line.log());
    }
    close_stray_handles(line);
    return failure == 0 ? 1 : 0;
}

// Open and create differ only in their flags, mode and messages. Request: header, open flags u32,
// mode u32, path. Answer: handle at 4, error code at 8.
int open_with_flags(DeviceLine& line, const char* operation, const char* path, std::uint8_t* handle,
                    std::uint32_t flags, std::uint32_t mode, const FailureMessages& messages) {
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsOpen);
    put_le32(request + length, flags);
    put_le32(request + length + 4, mode);
    length += 8;
    if (!handle || !put_path(operation, request, &length, path, line.log())) return 0;
    return open_attempts(line, request, length, kEfsOpen, handle, messages);
}

// Failure kinds of a readdir beyond the shared ones. Two answers end the call at once instead of
// being retried: one that is not a readdir answer, which fails the listing (taking it for the end
// would leave the rest of the folder behind), and the device's end-of-listing pattern.
constexpr int kNullName = kEfsOwnFailure;
constexpr int kNameTooLong = kEfsOwnFailure + 1;
constexpr int kNotReaddir = kEfsOwnFailure + 2;
constexpr int kEndOfListing = kEfsOwnFailure + 3;

// Where a readdir puts the entry it reads.
struct DirEntryOut {
    char* name;
    int* type;
    int name_capacity;
};

// Readdir request: header, handle, then the entry's sequence number. Answer: header, then the
// entry's type at 16 (only its low byte counts) and its name at 40, NUL-terminated.
constexpr int kSequenceLength = 4;
constexpr int kEntryTypeAt = 16;
constexpr int kEntryNameAt = 40;

AttemptOutcome readdir_attempt(DeviceLine& line, const std::uint8_t* request, int length,
                               std::vector<std::uint8_t>& answer, const DirEntryOut& out) {
    std::memset(out.name, 0, static_cast<std::size_t>(std::min(out.name_capacity, 4)));
    int packet = 0;
    if (int f = efs_exchange(line, request, length, answer.data(), kEfsSmallAnswer, &packet))
        return f;
    if (!efs_header_is(answer.data(), kEfsReaddir)) return stop_now(kNotReaddir);
    // End of the listing: bytes 4 to 6 zero and byte 7 not.
    if (answer[4] == 0 && answer[5] == 0 && answer[6] == 0 && answer[7] != 0)
        return stop_now(kEndOfListing);
    *out.type = answer[kEntryTypeAt];
    // The name runs to its NUL; every byte past the packet reads as zero.
    if (answer[kEntryNameAt] == 0) return kNullName;
    // The cleared tail of the buffer ends every name; a name the caller has no room for is
    // refused rather than cut, since a cut name may be another entry's.
    const char* from = reinterpret_cast<const char*>(&answer[kEntryNameAt]);
    const std::size_t size = strnlen(from, kEfsSmallAnswer - kEntryNameAt);
    if (size >= static_cast<std::size_t>(out.name_capacity)) return kNameTooLong;
    std::memcpy(out.name, from, size + 1);
    return 0;
}

// read_efs_dir's result for how its attempts ended, with the line that tells why.
int readdir_result(int failure, LogSink& log) {
    switch (failure) {
        case 0:
            return 1;
        case kEfsSendFailed:
            log.write("read_efs_dir: send cmd error! \n");
            return 0;
        case kEfsCrcFailed:
            log.write("read_efs_dir: check crc error! \n");
            return 0;
        case kNameTooLong:
            log.write("read_efs_dir: name too long error! \n");
            return 0;
        case kNotReaddir:
            log.write("read_efs_dir: recv bad cmd error! \n");
            return 0;
        case kEndOfListing:
            log.write("read_efs_dir: no file error! \n");
            return -1;
        default:
            log.write("read_efs_dir: null data error! \n");
            return 0;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Operations.

int send_efs_hello(DeviceLine& line) {
    // The body is all zero bytes; the answer is not looked at.
    constexpr int kHelloBody = 40;
    std::uint8_t request[kEfsRequestBuffer] = {};
    const int length = put_efs_header(request, kEfsHello) + kHelloBody;
    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(
        line, [&] { return efs_send(line, request, length, answer.data(), kEfsSmallAnswer); });
    if (failure == 0) return 1;
    line.log().write("send_efs_hello: send cmd error! \n");
    return 0;
}

int open_efs_file(DeviceLine& line, const char* path, std::uint8_t* handle) {
    return open_with_flags(
        line, "open_efs_file", path, handle, kOpenReadOnly, kModeReadAll,
        {"open_efs_file: send cmd error! \n", "open_efs_file: check crc error! \n",
         "open_efs_file: receive bad cmd error! \n", "open_efs_file: recv bad data error! \n"});
}

int create_efs_file(DeviceLine& line, const char* path, std::uint8_t* handle) {
    return open_with_flags(
        line, "create_efs_file", path, handle, kOpenWriteOnly | kOpenCreate | kOpenTruncate,
        kModeReadWriteAll,
        {"create_efs_file: send cmd error! \n", "create_efs_file: check crc error! \n",
         "create_efs_file: recv bad cmd error! \n", "create_efs_file: recv bad data error! \n"});
}

int close_efs_file(DeviceLine& line, const std::uint8_t* handle) {
    return close_handle(
        line, "close_efs_file", kEfsClose, handle,
        {"close_efs_file: send cmd error! \n", "close_efs_file: check crc error! \n",
         "close_efs_file: recv bad cmd error! \n", "close_efs_file: recv bad data error! \n"});
}

int create_efs_symlink(DeviceLine& line, const char* target, const char* link_path) {
    // The target comes first: the link at link_path will read as target. Error code at 4.
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsSymlink);
    if (!put_path("create_efs_symlink", request, &length, target, line.log()) ||
        !put_path("create_efs_symlink", request, &length, link_path, line.log()))
        return 0;

    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(line, [&] {
        return status_attempt(line, request, length, answer, kEfsSymlink, kStatusAnswer);
    });
    if (failure == 0) return 1;
    log_failure(
        failure,
        {"create_efs_symlink: send cmd error! \n", "create_efs_symlink: check crc error! \n",
         "create_efs_symlink: recv bad data error! \n",
         "create_efs_symlink: recv bad data error! \n"},
        line.log());
    return 0;
}

int unlink_efs_file(DeviceLine& line, const char* path) {
    // Error code at 4. A device error code is reported as a bad command here, unlike the other
    // operations.
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsUnlink);
    if (!put_path("unlink_efs_file", request, &length, path, line.log())) return 0;

    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(line, [&] {
        return status_attempt(line, request, length, answer, kEfsUnlink, kStatusAnswer);
    });
    if (failure == 0) return 1;
    log_failure(
        failure,
        {"unlink_efs_file: send cmd error! \n", "unlink_efs_file: check crc error! \n",
         "unlink_efs_file: recv bad cmd error! \n", "unlink_efs_file: recv bad cmd error! \n"},
        line.log());
    return 0;
}

int create_efs_dir(DeviceLine& line, const char* path) {
    // Request: header, mode u16, path. Error code at 4.
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsMkdir);
    put_le16(request + length, kModeEverything);
    length += 2;
    if (!put_path("create_efs_dir", request, &length, path, line.log())) return 0;

    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(line, [&] {
        return status_attempt(line, request, length, answer, kEfsMkdir, kStatusAnswer);
    });
    if (failure == 0) return 1;
    log_failure(
        failure,
        {"create_efs_dir: send cmd error! \n", "create_efs_dir: check crc error! \n",
         "create_efs_dir: recv bad data error! \n", "create_efs_dir: recv bad data error! \n"},
        line.log());
    return 0;
}

int unlink_efs_dir(DeviceLine& line, const char* path) {
    // Error code at 4. A folder the device refuses to remove would stay behind in a tree that is
    // being replaced, so a refusal is a failure like any other.
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsRmdir);
    if (!put_path("unlink_efs_dir", request, &length, path, line.log())) return 0;

    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(line, [&] {
        return status_attempt(line, request, length, answer, kEfsRmdir, kStatusAnswer);
    });
    if (failure == 0) return 1;
    log_failure(
        failure,
        {"unlink_efs_dir: send cmd error! \n", "unlink_efs_dir: check crc error! \n",
         "unlink_efs_dir: recv bad data error! \n", "unlink_efs_dir: recv bad data error! \n"},
        line.log());
    return 0;
}

int open_efs_dir(DeviceLine& line, const char* path, std::uint8_t* handle) {
    // Answer: handle at 4, error code at 8.
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsOpendir);
    if (!handle || !put_path("open_efs_dir", request, &length, path, line.log())) return 0;
    return open_attempts(
        line, request, length, kEfsOpendir, handle,
        {"open_efs_dir: send cmd error! \n", "open_efs_dir: check crc error! \n",
         "open_efs_dir: recv bad data error! \n", "open_efs_dir: recv bad data error! \n"});
}

int read_efs_dir(DeviceLine& line, const std::uint8_t* handle, int sequence, char* name, int* type,
                 int name_capacity) {
    if (!handle || !name || !type || name_capacity < 1) return 0;
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_handle(request, handle);
    put_efs_header(request, kEfsReaddir);
    // Sequence number u32: only its low byte is ever sent.
    request[length] = static_cast<std::uint8_t>(sequence);
    length += kSequenceLength;

    std::vector<std::uint8_t> answer(kEfsSmallAnswer);
    const int failure = run_attempts(line, [&] {
        return readdir_attempt(line, request, length, answer, {name, type, name_capacity});
    });
    return readdir_result(failure, line.log());
}

int close_efs_dir(DeviceLine& line, const std::uint8_t* handle) {
    return close_handle(
        line, "close_efs_dir", kEfsClosedir, handle,
        {"close_efs_dir: send cmd error! \n", "close_efs_dir: check crc error! \n",
         "close_efs_dir: recv bad cmd error! \n", "close_efs_dir: recv bad data error! \n"});
}

int query_efs_size(DeviceLine& line, const char* path, std::uint32_t* size) {
    // Answer: error code at 4, size u32 at 12.
    if (!path || !size || path[0] == '\0') return 0;
    std::uint8_t request[kEfsRequestBuffer] = {};
    int length = put_efs_header(request, kEfsStat);
    if (!put_path("get_efs_size", request, &length, path, line.log())) return 0;

    std::vector<std::uint8_t> answer(kEfsLargeAnswer);
    const int failure = run_attempts(
        line, [&] { return status_attempt(line, request, length, answer, kEfsStat, kStatAnswer); });
    if (failure == 0) {
        *size = get_le32(&answer[kStatSizeAt]);
        return 1;
    }
    log_failure(failure,
                {"get_efs_size: send cmd error! \n", "get_efs_size: check crc error! \n",
                 "get_efs_size: recv bad cmd error! \n", "get_efs_size: recv bad data error! \n"},
                line.log());
    return 0;
}

std::uint32_t get_efs_size(DeviceLine& line, const char* path) {
    std::uint32_t size = 0;
    return query_efs_size(line, path, &size) ? size : 0;
}
