#include "diag/efs_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "base/clock.h"
#include "base/log_sink.h"
#include "base/sent_file.h"
#include "diag/efs.h"
#include "diag/efs_wire.h"
#include "link/attempts.h"

namespace {

// Data moves in chunks of this size in both directions.
constexpr int kChunk = 512;
constexpr std::uint32_t kMaxOffset = std::numeric_limits<std::uint32_t>::max();

// Write request: header, handle, offset u32, then 0 to kChunk data bytes.
constexpr int kWriteDataAt = kEfsHeaderLength + 8;
// Read request: header, handle, byte count u32, offset u32.
constexpr int kReadRequestLength = kEfsHeaderLength + 12;
// Read answer, from where it starts: header, handle, offset, count (signed) at 12, error code at
// 16, data from 20.
constexpr int kReadCountAt = 12;
constexpr int kReadErrorAt = 16;
constexpr int kReadDataAt = 20;

// Offsets on the wire are 32-bit: a larger file, or anything that is not a plain file with a size,
// cannot be sent whole.
bool addressable(const char* local_path, LogSink& log) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(local_path, error);
    if (error) {
        log.write("write_efs_file: file size error! %s\n", local_path);
        return false;
    }
    if (size > kMaxOffset) {
        log.write("write_efs_file: file too large error! %s\n", local_path);
        return false;
    }
    return true;
}

// A read answer can sit anywhere in the decoded packet; its fixed part must be there whole.
int find_read_answer(const std::uint8_t* answer, int packet) {
    for (int p = 0; p + kReadDataAt <= packet; ++p) {
        if (answer[p] == kDiagSubsystemDispatch && answer[p + 1] == kEfsSubsystem &&
            answer[p + 2] == kEfsRead)
            return p;
    }
    return -1;
}

}  // namespace

int try_write_efs_file(DeviceLine& line, const char* local_path, const std::uint8_t* handle,
                       DialogHandle dialog, int* counter, std::uint32_t* sent) {
    if (sent) *sent = 0;
    if (!local_path || !handle) return 0;
    SentFile file(line.log());
    if (!file.open(local_path)) {
        line.log().tell_reason("write_efs_file: cannot open %s: %s", local_path,
                               std::strerror(errno));
        return 0;
    }
    if (!addressable(local_path, line.log())) return 0;

    std::uint8_t request[kWriteDataAt + kChunk];
    std::vector<std::uint8_t> answer(kEfsLargeAnswer);
    int dirty = 0;  // the answer bytes an exchange may have left non-zero; a new buffer has none
    std::uint32_t offset = 0;
    // The end-of-file indicator is only set by a read that reaches the end, so a file that ends on
    // a chunk boundary (an empty one too) is closed by one write without data; the device relies
    // on it.
    // A file that changed since the package check fails its read before the chunk that ends it.
    while (!file.ended()) {
        const std::size_t n = file.read(request + kWriteDataAt, kChunk);
        if (file.failed() || n > kMaxOffset - offset) {
            line.log().write("write_efs_file: read file error! offset = %x\n", offset);
            return 0;
        }
        put_efs_header(request, kEfsWrite);
        std::memcpy(request + kEfsHeaderLength, handle, 4);
        put_le32(request + kEfsHeaderLength + 4, offset);
        const int length = kWriteDataAt + static_cast<int>(n);

        // The answer's fields are not read: a refused write shows in the caller's size comparison
        // and read-back.
        const int failure = run_attempts(line, [&] {
            int packet = 0;
            return efs_exchange(line, request, length, answer.data(), kEfsLargeAnswer, &packet,
                                &dirty);
        });
        if (failure) {
            if (failure == kEfsSendFailed)
                line.log().write("write_efs_file: send cmd error! offset = %x\n", offset);
            else
                line.log().write("write_efs_file: chk crc error! offset = %x\n", offset);
            return 0;
        }
        offset += static_cast<std::uint32_t>(n);
        progress_advance(dialog, counter, exchange_cost(static_cast<long long>(n)),
                         n > 0 && offset % kEfsTickBytes == 0);
    }
    progress_advance(dialog, counter, 0);
    pause_ms(line, 1);
    if (sent) *sent = offset;
    return 1;
}

std::uint32_t write_efs_file(DeviceLine& line, const char* local_path, const std::uint8_t* handle,
                             DialogHandle dialog, int* counter) {
    std::uint32_t sent = 0;
    return try_write_efs_file(line, local_path, handle, dialog, counter, &sent) ? sent : 0;
}

int chk_efs_file(DeviceLine& line, const std::uint8_t* handle, const char* local_path,
                 DialogHandle dialog, int* counter) {
    line.log().write("chk_efs_file: %s\n", local_path ? local_path : "");
    if (!handle || !local_path) return 0;
    std::FILE* file = std::fopen(local_path, "rb");
    if (!file) {
        line.log().tell_reason("chk_efs_file: cannot open %s: %s", local_path,
                               std::strerror(errno));
        return 0;
    }

    constexpr int kNoHeader = kEfsOwnFailure;
    constexpr int kDeviceError = kEfsOwnFailure + 1;
    constexpr int kLocalTooShort = kEfsOwnFailure + 2;
    constexpr int kDiffers = kEfsOwnFailure + 3;

    std::vector<std::uint8_t> answer(kEfsLargeAnswer);
    int dirty = 0;  // the answer bytes an exchange may have left non-zero; a new buffer has none
    std::uint8_t local[kChunk];
    std::uint32_t offset = 0;
    for (;;) {
        std::uint8_t request[kReadRequestLength];
        put_efs_header(request, kEfsRead);
        std::memcpy(request + kEfsHeaderLength, handle, 4);
        put_le32(request + kEfsHeaderLength + 4, kChunk);
        put_le32(request + kEfsHeaderLength + 8, offset);

        // The local bytes of this chunk; every attempt compares against the same ones.
        const std::size_t local_size = std::fread(local, 1, kChunk, file);
        std::int32_t count = 0;
        const int failure = run_attempts(line, [&] {
            int packet = 0;
            if (int f = efs_exchange(line, request, kReadRequestLength, answer.data(),
                                     kEfsLargeAnswer, &packet, &dirty))
                return f;
            const int p = find_read_answer(answer.data(), packet);
            if (p < 0) return kNoHeader;
            count = static_cast<std::int32_t>(get_le32(&answer[p + kReadCountAt]));
            // A count of 0 is the end of the device file, whatever the error code says.
            if (count == 0) return 0;
            // A negative count is the device failing to read, not the end of its file.
            if (count < 0) return kDeviceError;
            if (get_le32(&answer[p + kReadErrorAt]) != 0) return kDeviceError;
            // Never more than was asked for, nor more than the answer holds.
            if (count > kChunk || p + kReadDataAt + count > packet ||
                static_cast<std::uint32_t>(count) > kMaxOffset - offset)
                return kDeviceError;
            if (static_cast<std::size_t>(count) > local_size) return kLocalTooShort;
            if (std::memcmp(&answer[p + kReadDataAt], local, static_cast<std::size_t>(count)) != 0)
                return kDiffers;
            return 0;
        });
        switch (failure) {
            case 0:
                break;
            case kEfsSendFailed:
                line.log().write("chk_efs_file: apply_diag_cmd error on offset = %x\n", offset);
                break;
            case kEfsCrcFailed:
                line.log().write("chk_efs_file: check_buf error on offset = %x\n", offset);
                break;
            case kNoHeader:
                line.log().write("chk_efs_file: header error on offset = %x\n", offset);
                break;
            case kDeviceError:
                line.log().write("chk_efs_file: recv data error on offset = %x\n", offset);
                break;
            case kLocalTooShort:
                line.log().write("chk_efs_file: length error on offset = %x\n", offset);
                break;
            default:
                line.log().write("chk_efs_file: check rcv data error on offset = %d\n",
                                 static_cast<int>(offset));
                break;
        }
        if (failure) {
            std::fclose(file);
            return 0;
        }
        // A short device file passes here; the callers' size comparison catches it.
        progress_advance(dialog, counter, exchange_cost(count), false);
        if (count == 0) break;
        offset += static_cast<std::uint32_t>(count);
        if (count < kChunk) break;
        if (offset % kEfsTickBytes == 0) progress_advance(dialog, counter, 0);
    }
    std::fclose(file);
    progress_advance(dialog, counter, 0);
    pause_ms(line, 1);
    return 1;
}

int copy_iso(DeviceLine& line, const char* folder, DialogHandle dialog, int* counter) {
    if (!counter || !folder) {
        line.log().write("copy_iso: null pointer error\n");
        return 1;
    }
    const std::string local_path = std::string(folder) + "image.iso";
    std::FILE* probe = std::fopen(local_path.c_str(), "rb");
    if (!probe && errno == ENOENT) {
        // A firmware set without an image is no error.
        line.log().write("iso not found\n");
        return 1;
    }
    if (!probe) {
        // One that is there but cannot be read is: the device would go without it.
        line.log().tell_reason("copy_iso: cannot open %s: %s", local_path.c_str(),
                               std::strerror(errno));
        return 0;
    }
    std::fclose(probe);
    // An image the 32-bit offsets cannot address is refused before the device's copy is touched.
    if (!addressable(local_path.c_str(), line.log())) return 0;

    const char* device_path = "/image.iso";
    EfsHandle handle = {};
    line.log().write("create iso file\n");
    if (!create_efs_file(line, device_path, handle)) {
        line.log().write("error: copy_iso, create file fail\n");
        return 0;
    }
    line.log().write("copy iso file\n");
    std::uint32_t sent = 0;
    const int written =
        try_write_efs_file(line, local_path.c_str(), handle, dialog, counter, &sent);
    line.log().write("finish copy iso file\n");
    // A handle the device still holds is one it may run out of: the copy is then done again.
    if (!close_efs_file(line, handle)) {
        line.log().write("error: copy_iso, close file fail\n");
        return 0;
    }

    set_status(dialog, "Verifying iso file...");
    line.log().write("get size of iso file\n");
    // A failed write and a failed size query are failures even when the sizes would agree (an
    // empty device file next to a write that never got through); an empty image is fine.
    std::uint32_t size = 0;
    const int sized = query_efs_size(line, device_path, &size);
    if (!written || !sized || sent != size) {
        line.log().write("error: copy_iso write_efs_file fail\n");
        return 0;
    }
    const bool opened = open_efs_file(line, device_path, handle) == 1;
    int checked = 0;
    if (opened) {
        line.log().write("check iso file\n");
        checked = chk_efs_file(line, handle, local_path.c_str(), dialog, counter);
    }
    if (!checked) {
        if (opened) close_efs_file(line, handle);
        line.log().write("error: copy_iso, chk_efs_file fail\n");
        return 0;
    }
    if (!close_efs_file(line, handle))
        line.log().write("copy iso error: close_file %s fail\n", device_path);
    return 1;
}
