#include "tests/diag/efs_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "base/log.h"
#include "link/port_table.h"
#include "link/serial_port.h"

namespace efs_test {

std::vector<std::uint8_t> pattern_bytes(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return data;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

int open_node(DeviceLine& line, const std::string& device_node) {
    const int port = port_table_register(device_node);
    try {
        line.port->Open(port);
    } catch (const CSerialException&) {
        return -1;
    }
    return port;
}

EmulatedModem::EmulatedModem(emu::Options options) {
    options.transcript = dir_ / "transcript.txt";
    emulator_ = std::make_unique<emu::Emulator>(std::move(options));
    if (!emulator_->start()) throw std::runtime_error("emulator: " + emulator_->error());
    if (!emulator_->wait_for(emu::Mode::Diag, std::chrono::seconds(10)))
        throw std::runtime_error("emulator did not appear");
    port_ = open_node(line_, emulator_->device_node());
    if (port_ < 0) throw std::runtime_error("cannot open " + emulator_->device_node());
    line_.port_number = port_;
}

EmulatedModem::~EmulatedModem() {
    line_.port->Close();
    emulator_->stop();
}

std::string EmulatedModem::transcript() const {
    std::ifstream in(dir_ / "transcript.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int EmulatedModem::efs_requests(int code) const {
    return emulator_->request_count(emu::Mode::Diag, 0x4B, code);
}

}  // namespace efs_test
