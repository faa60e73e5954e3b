// The boot downloader stage and the streaming stage against the emulated device, which comes back
// on a new port after GO, as the real one does.
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <string>

#include "diag/diag_commands.h"
#include "dload/dload_commands.h"
#include "dload/hex_upload.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "probe/mode_probe.h"
#include "stream/image_stream.h"
#include "stream/stream_commands.h"
#include "tests/support/protocol_support.h"
#include "tests/support/recording_progress.h"

namespace {

using emu::Mode;

struct Image {
    int type;
    const char* header;  // nullptr: none
    const char* name;
};

constexpr Image kImages[] = {
    {2, nullptr, "qcsblhd_cfgdata.mbn"},
    {3, nullptr, "qcsbl.mbn"},
    {4, "oemsblhd.mbn", "oemsbl.mbn"},
    {5, "amsshd.mbn", "amss.mbn"},
};

class DownloadEndToEndTest : public ProtocolTest {};

TEST_F(DownloadEndToEndTest, FlashHoldsTheFirmwareFilesByteForByte) {
    TempDir firmware;
    const Bytes programmer = pattern(0x1234, 20);
    const std::string hex_path =
        firmware.write("NPRG6280.hex", hex_file({{0x00800000, programmer}}, 0x00800000));
    const std::string partition = firmware.write("partition.mbn", pattern(400, 21));
    firmware.write("oemsblhd.mbn", pattern(40, 22));
    firmware.write("amsshd.mbn", pattern(80, 23));
    firmware.write("qcsblhd_cfgdata.mbn", pattern(3000, 24));
    firmware.write("qcsbl.mbn", pattern(1024, 25));
    firmware.write("oemsbl.mbn", pattern(5000, 26));
    firmware.write("amss.mbn", pattern(160000, 27));

    emu::Options options;
    options.start_mode = Mode::Dload;
    options.return_delay_ms = 500;
    emulator = std::make_unique<emu::Emulator>(options);
    ASSERT_TRUE(emulator->start()) << emulator->error();
    ASSERT_TRUE(emulator->wait_for(Mode::Dload, std::chrono::seconds(10)));

    RecordingProgress dialog;
    int counter = 1;

    // Boot downloader stage.
    const int dload_port = port_table_register(emulator->device_node());
    ASSERT_EQ(open_port(line, dload_port), MODE_DLOAD);
    ASSERT_EQ(send_dload_request(line), 1);
    ASSERT_EQ(send_dload_unlock(line), 1);
    ASSERT_EQ(retry_start_go(line, hex_path.c_str(), &dialog, &counter), 1);
    const int after_programmer = counter;
    EXPECT_GT(after_programmer, 1);
    line.port->Close();
    EXPECT_EQ(emulator->ram(0x00800000, programmer.size()), programmer);
    EXPECT_EQ(emulator->go_address(), 0x00800000u);

    // Streaming stage, on the port the programmer comes up on.
    ASSERT_TRUE(emulator->wait_for(Mode::Stream, std::chrono::seconds(20)));
    const int stream_port = port_table_register(emulator->device_node());
    EXPECT_NE(stream_port, dload_port);
    ASSERT_EQ(open_dl_port(line, stream_port), MODE_DLOAD);
    EXPECT_EQ(send_dl_security(line), 1);
    ASSERT_EQ(send_partition_table(line, partition.c_str()), 1);
    for (const Image& image : kImages) {
        const std::string header =
            image.header ? firmware.path() + "/" + image.header : std::string();
        ASSERT_EQ(send_multi_image_open(line, image.header ? header.c_str() : nullptr, image.type),
                  1)
            << image.name;
        ASSERT_EQ(
            dl_dload_amss(line, (firmware.path() + "/" + image.name).c_str(), &dialog, &counter), 1)
            << image.name;
    }
    ASSERT_EQ(dl_reset(line), 1);
    line.port->Close();
    // amss.mbn is the one image past 153600 bytes.
    EXPECT_EQ(dialog.statuses(), (std::vector<std::string>{"Downloading amss.mbn...96%",
                                                           "Downloading amss.mbn...100%"}));
    // Each image moved the counter on by its blocks.
    long long streamed = 0;
    for (const Image& image : kImages)
        streamed += transfer_cost(
            static_cast<long long>(std::filesystem::file_size(firmware.path() + "/" + image.name)));
    EXPECT_EQ(counter, after_programmer + streamed);

    // The flash as the device dumps it.
    TempDir dump;
    ASSERT_TRUE(emulator->dump_flash(dump.path()));
    EXPECT_EQ(read_file(dump.path() + "/partition.bin"), read_file(partition));
    for (const Image& image : kImages) {
        const std::string type = std::to_string(image.type);
        EXPECT_EQ(read_file(dump.path() + "/image-" + type + ".bin"),
                  read_file(firmware.path() + "/" + image.name))
            << image.name;
        const Bytes header =
            image.header ? read_file(firmware.path() + "/" + image.header) : Bytes{};
        EXPECT_EQ(read_file(dump.path() + "/header-" + type + ".bin"), header) << image.name;
        EXPECT_TRUE(emulator->flash_image(image.type)->closed) << image.name;
    }
    const std::string text = log.text();
    EXPECT_TRUE(in_order(
        text, {"Open in DLoad mode\n", "Send DLoad request ok\n", "Open in Stream Download mode\n",
               "Partition table ", "Download OK and close now\n", "Close handle ok\n",
               "Download reset ok, finish download\n"}))
        << text;
    EXPECT_EQ(count_of(text, "Download OK and close now\n"), 4);
}

}  // namespace
