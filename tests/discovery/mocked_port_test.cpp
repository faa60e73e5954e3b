// The program's serial port on a mocked USB port: what the emulator relies on.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "link/port_table.h"
#include "link/serial_port.h"
#include "testbed/testbed.h"

namespace {

using testbed::FakeDevice;
using testbed::Testbed;

// What the device side receives within a bound.
std::string read_master(int fd, std::size_t count) {
    std::string got;
    for (int tries = 0; tries < 50 && got.size() < count; ++tries) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(MockedPort, CarriesBytesBothWaysUnchanged) {
    FakeDevice modem = Testbed::instance().add_port({});
    CSerialPort port;
    port.Open(port_table_register(modem.device_node));
    ASSERT_TRUE(port.IsOpen());

    // Bytes a cooked line would change: CR, NL, DEL, ^C, the frame flag.
    const std::string request = std::string("\x7e\r\n\x7f\x03\x11\x13\x7e", 8);
    port.Write(request.data(), static_cast<int>(request.size()));
    port.Flush();
    EXPECT_EQ(read_master(modem.master_fd, request.size()), request);

    const std::string answer = std::string("\r\n\x04\x7e\x00\xff", 6);
    ASSERT_EQ(write(modem.master_fd, answer.data(), answer.size()),
              static_cast<ssize_t>(answer.size()));
    // The kernel hands the bytes to the program's side a moment after the write.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Testbed::instance().unread(modem.device_node) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Testbed::instance().unread(modem.device_node), static_cast<int>(answer.size()));
    std::string got;
    for (int tries = 0; tries < 20 && got.size() < answer.size(); ++tries) {
        char buffer[64];
        int n = port.Read(buffer, sizeof buffer);
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, answer);
    EXPECT_EQ(Testbed::instance().unread(modem.device_node), 0);
    port.Close();
    Testbed::instance().remove(modem);
}

TEST(MockedPort, OpeningRaisesDtrAndRtsAndTakesThePortForItself) {
    FakeDevice modem = Testbed::instance().add_port({});
    CSerialPort port;
    port.Open(port_table_register(modem.device_node));
    unsigned lines = Testbed::instance().modem_lines(modem.device_node);
    EXPECT_TRUE(lines & TIOCM_DTR);
    EXPECT_TRUE(lines & TIOCM_RTS);
    EXPECT_TRUE(Testbed::instance().exclusive(modem.device_node));
    port.Close();
    Testbed::instance().remove(modem);
}

TEST(MockedPort, FreshPortHasTheKernelsCookedLine) {
    FakeDevice modem = Testbed::instance().add_port({});
    int fd = open(modem.device_node.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios line{};
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    EXPECT_TRUE(line.c_lflag & ICANON);
    EXPECT_TRUE(line.c_lflag & ECHO);
    EXPECT_TRUE(line.c_iflag & ICRNL);
    close(fd);
    Testbed::instance().remove(modem);
}

TEST(MockedPort, ReadWithNothingWaitingReturnsNothing) {
    FakeDevice modem = Testbed::instance().add_port({});
    CSerialPort port;
    port.Open(port_table_register(modem.device_node));
    char buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    port.Close();
    Testbed::instance().remove(modem);
}

// As when the device is pulled out: the program learns at once, instead of waiting out its reads.
TEST(MockedPort, HungUpLineFailsTheProgramsReadsAndWrites) {
    FakeDevice modem = Testbed::instance().add_port({});
    CSerialPort port;
    port.Open(port_table_register(modem.device_node));
    Testbed::instance().hang_up(modem);
    char buffer[16];
    EXPECT_THROW(port.Read(buffer, sizeof buffer), CSerialException);
    EXPECT_THROW(port.Write("\x7e", 1), CSerialException);
    port.Close();
    Testbed::instance().remove(modem);
}

}  // namespace
