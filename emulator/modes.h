// What the device does with one CRC-valid request in each of its three modes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/efs.h"
#include "emulator/emulator.h"

namespace emu {

using Bytes = std::vector<std::uint8_t>;

// Byte by byte: GCC 12 warns wrongly about vector::insert after a short initializer list.
inline void append_bytes(Bytes* out, const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < count; ++i)
        out->push_back(p[i]);
}

struct Reply {
    Bytes packet;                  // the answer; empty: the device stays silent
    std::optional<Mode> leave_to;  // after the answer the device leaves and comes back so
    bool final_reset = false;      // the leave is the reset that ends a firmware download
};

// Normal firmware: version queries, the switch to download mode and the file system.
class DiagDevice {
  public:
    DiagDevice(FileSystem* efs, const std::string* build_version)
        : efs_(efs), build_version_(build_version) {}
    Reply handle(const Bytes& request);
    // The 0x13 answer: the code followed by the request it refuses.
    static Bytes error_answer(const Bytes& request);

  private:
    FileSystem* efs_;
    const std::string* build_version_;
};

constexpr std::uint8_t kDloadAck = 0x02;
constexpr std::uint8_t kDloadNak = 0x03;
// NAK reason codes of the boot downloader.
constexpr std::uint16_t kNakBadCrc = 0x0001;
constexpr std::uint16_t kNakBadAddress = 0x0002;
constexpr std::uint16_t kNakBadLength = 0x0003;
constexpr std::uint16_t kNakTooLarge = 0x0005;
constexpr std::uint16_t kNakBadCommand = 0x0006;
constexpr std::uint16_t kNakLocked = 0x000B;
constexpr std::uint16_t kNakBadSecurityCode = 0x000C;

// Boot downloader: unlock, writes into RAM, GO.
class DloadDevice {
  public:
    Reply handle(const Bytes& request);
    static Bytes nak(std::uint16_t code);

    // Sparse RAM, written bytes only.
    std::vector<std::uint8_t> ram(std::uint32_t address, std::size_t length) const;
    bool written(std::uint32_t address) const;
    // Lowest and one past the highest written address; nothing when nothing was written.
    std::optional<std::pair<std::uint32_t, std::uint64_t>> written_span() const;
    std::optional<std::uint32_t> go_address() const { return go_; }

  private:
    static constexpr std::uint32_t kPage = 4096;
    struct Page {
        std::uint8_t data[kPage] = {};
        bool written[kPage] = {};
    };
    bool unlocked_ = false;
    std::map<std::uint32_t, Page> pages_;
    std::uint64_t written_bytes_ = 0;
    std::optional<std::uint32_t> go_;
};

// What the flash programmer has written: it outlives the programmer.
struct Flash {
    std::map<int, FlashImage> images;
    std::optional<Bytes> partition;  // the last table the programmer took
};

// Flash programmer: hello, security mode, partition table, images, reset.
class StreamDevice {
  public:
    // The hello parameters, the table the device holds and the forced answers come from options.
    StreamDevice(const Options* options, Flash* flash) : options_(options), flash_(flash) {}
    Reply handle(const Bytes& request);
    static Bytes log_message(const std::string& text);
    bool wrote_image() const { return wrote_image_; }

  private:
    Bytes hello_answer() const;

    std::uint8_t open_status(int type, std::size_t payload) const;

    const Options* options_;
    Flash* flash_;
    bool greeted_ = false;
    int open_type_ = -1;
    bool wrote_image_ = false;
};

}  // namespace emu
