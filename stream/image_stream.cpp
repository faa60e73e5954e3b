#include "stream/image_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/log_sink.h"
#include "base/sent_file.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"
#include "stream/log_message.h"
#include "stream/stream_commands.h"
#include "stream/stream_wire.h"

namespace {

constexpr std::uint64_t kLargestImage = 0xFFFFFFFFull;

enum Failure { kSendFailed = 1, kAnswerFailed };

// The receive buffer of an image's blocks. Every attempt starts on a cleared buffer: the answer
// is judged on what the read left (an empty read shows command byte 0x00), and a refused block
// logs the whole buffer. Only the bytes a read may have written are cleared again.
struct BlockReceive {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kReceiveBuffer);
    int dirty = 0;  // bytes at the start that may be non-zero

    void clear() {
        std::fill(bytes.begin(), bytes.begin() + dirty, 0);
        dirty = 0;
    }
};

// One block, up to ten attempts; 0 or the kind of the last failure.
int write_block(DeviceLine& line, const std::uint8_t* request, int length, BlockReceive& received) {
    const std::uint16_t crc = crc16_bits(request, length * 8);
    std::uint8_t* bytes = received.bytes.data();
    return run_attempts(line, [&] {
        received.clear();
        const int sent =
            apply_dl_cmd(line, request, length, bytes, kReceiveBuffer, crc, &received.dirty);
        if (!sent) return static_cast<int>(kSendFailed);
        // Only the command byte counts; an empty read leaves 0x00 there.
        const std::uint8_t command = locate_answer(bytes)[0];
        if (command == kStreamWriteAnswer) return 0;
        line.log().write("error ack1\n");
        line.log().bytes(bytes, kReceiveBuffer);
        line.log().write("\n");
        // That read's count is not told: it may have written anywhere.
        received.dirty = kReceiveBuffer;
        if (command == kLogMessage && read_after_log_message(line, bytes, kReceiveBuffer)) {
            line.log().write("error ack2\n");
            line.log().bytes(bytes, kReceiveBuffer);
            line.log().write("\n");
        }
        return static_cast<int>(kAnswerFailed);
    });
}

// The status line names the image being sent and the share of it sent so far; *shown is the
// share on the line now (-1: none yet).
void show_share(DialogHandle dialog, const std::string& name, std::uint64_t sent,
                std::uint64_t size, int* shown) {
    const int percent =
        size > 0 ? static_cast<int>(std::min<std::uint64_t>(sent * 100 / size, 100)) : 0;
    if (percent == *shown) return;
    *shown = percent;
    set_status(dialog, "Downloading " + name + "..." + std::to_string(percent) + "%");
}

}  // namespace

int dl_dload_amss(DeviceLine& line, const char* path, DialogHandle dialog, int* counter) {
    SentFile file(line.log());
    if (!path || !file.open(path)) {
        if (path)
            line.log().tell_reason("dl_dload_amss: cannot open %s: %s", path, std::strerror(errno));
        return 0;
    }
    // Offsets on the wire are 32 bits wide: a larger image cannot be addressed.
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) size = 0;
    if (size > kLargestImage) {
        line.log().write("dl_dload_amss: image larger than 4 GiB error! \n");
        return 0;
    }

    std::uint8_t request[kStreamWriteHeader + kStreamBlockSize];
    BlockReceive received;
    std::uint32_t offset = 0;
    const std::string name = std::filesystem::path(path).filename().string();
    int shown = -1;
    bool written = true;
    // A short read ends the image; a file whose size is a multiple of 512 (an empty one too) so
    // ends with a block of no data bytes, which the programmer expects.
    for (;;) {
        const std::size_t count = file.read(request + kStreamWriteHeader, kStreamBlockSize);
        if (file.failed()) {
            line.log().write("dl_dload_amss: read image file error! \n");
            written = false;
            break;
        }
        if (count > kLargestImage - offset) {  // the file grew past what an offset can address
            line.log().write("dl_dload_amss: image larger than 4 GiB error! \n");
            written = false;
            break;
        }
        request[0] = kStreamWrite;
        put_le32(request + 1, offset);
        const int failure =
            write_block(line, request, kStreamWriteHeader + static_cast<int>(count), received);
        if (failure != 0) {
            line.log().write(failure == kSendFailed ? "dl_dload_amss: send cmd error! \n"
                                                    : "dl_dload_amss: recv bad cmd error! \n");
            written = false;
            break;
        }
        offset += static_cast<std::uint32_t>(count);
        // Shown only where data moved the offset onto a multiple: the closing empty block of a
        // 153600-byte multiple (or of an empty file) shows nothing new.
        const bool show = dialog && count > 0 && offset % kImageTickBytes == 0;
        progress_advance(dialog, counter, exchange_cost(static_cast<long long>(count)), show);
        if (show) show_share(dialog, name, offset, size, &shown);
        if (count < static_cast<std::size_t>(kStreamBlockSize)) break;
    }
    progress_advance(dialog, counter, 0);
    // An image that showed its share ends at 100%.
    if (written && shown >= 0) show_share(dialog, name, offset, offset, &shown);

    if (written) {
        line.log().write("Download OK and close now\n");
    } else {
        line.log().write("Download fail on addr 0x%x and close now\n", offset);
    }
    // An image that changed since the package check is not closed: the close is what makes it
    // count, and the run ends here, before any reset.
    if (file.changed()) return 0;
    // An image the programmer never closed is not written: the next open would leave it
    // unfinished in the flash.
    const int closed = send_dl_close_handle(line);
    return written && closed ? 1 : 0;
}
