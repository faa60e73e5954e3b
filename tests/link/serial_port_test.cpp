#include "link/serial_port.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "base/clock.h"
#include "link/device_line.h"
#include "link/port_diagnosis.h"
#include "link/port_table.h"
#include "tests/link/pty.h"

namespace {

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        port_.Open(pty_.number());
        ASSERT_TRUE(port_.IsOpen());
    }

    // Reads until count bytes came, with a bound.
    Bytes read_port(std::size_t count) {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::uint8_t chunk[512];
            int n = port_.Read(chunk, sizeof(chunk));
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    Pty pty_;
    CSerialPort port_;
};

Bytes every_byte_value() {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    return all;
}

TEST_F(SerialPortTest, WrittenBytesArriveUnchanged) {
    const Bytes all = every_byte_value();
    EXPECT_EQ(port_.Write(all.data(), static_cast<int>(all.size())), 256);
    EXPECT_EQ(pty_.receive(all.size()), all);
}

TEST_F(SerialPortTest, ReceivedBytesArriveUnchanged) {
    const Bytes all = every_byte_value();
    pty_.send(all);
    EXPECT_EQ(read_port(all.size()), all);
}

TEST_F(SerialPortTest, LineIsRawEightNoneOneWithoutFlowControl) {
    termios tio{};
    ASSERT_EQ(tcgetattr(pty_.terminal(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(SerialPortTest, ReadWithNothingWaitingGivesNothingAfterTheTimeOut) {
    auto start = std::chrono::steady_clock::now();
    std::uint8_t buffer[16];
    EXPECT_EQ(port_.Read(buffer, sizeof(buffer)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(scaled_ms(500)));
}

TEST_F(SerialPortTest, ReadReturnsAPartialFrameAsItIs) {
    pty_.send({0x13, 0x00});
    EXPECT_EQ(read_port(2), (Bytes{0x13, 0x00}));
}

TEST_F(SerialPortTest, FlushKeepsReceivedBytes) {
    pty_.send({0x7E, 0x02});
    std::uint8_t out[] = {0x00};
    port_.Write(out, 1);
    port_.Flush();
    EXPECT_EQ(read_port(2), (Bytes{0x7E, 0x02}));
}

TEST_F(SerialPortTest, HangUpRaisesOnReadAndWrite) {
    pty_.close_master();
    std::uint8_t buffer[16];
    EXPECT_THROW(port_.Read(buffer, sizeof(buffer)), CSerialException);
    EXPECT_THROW(port_.Write(buffer, 4), CSerialException);
    EXPECT_TRUE(port_.IsOpen());
}

TEST_F(SerialPortTest, CloseTwiceIsHarmless) {
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
}

TEST_F(SerialPortTest, OperationsOnAClosedPortRaise) {
    port_.Close();
    std::uint8_t buffer[4] = {};
    EXPECT_THROW(port_.Write(buffer, 4), CSerialException);
    EXPECT_THROW(port_.Read(buffer, 4), CSerialException);
    EXPECT_THROW(port_.Flush(), CSerialException);
}

TEST_F(SerialPortTest, OpenOfAnUnknownNumberRaisesAndLeavesThePortClosed) {
    try {
        port_.Open(100000);
        FAIL() << "no exception";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.m_dwError, static_cast<std::uint32_t>(ENOENT));
        EXPECT_EQ(e.error(), static_cast<std::uint32_t>(ENOENT));
    }
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_THROW(port_.Open(0), CSerialException);
    EXPECT_THROW(port_.Open(-1), CSerialException);
}

TEST_F(SerialPortTest, OpenOnAnOpenPortReopens) {
    port_.Open(pty_.number());
    EXPECT_TRUE(port_.IsOpen());
    std::uint8_t out[] = {0x06};
    port_.Write(out, 1);
    EXPECT_EQ(pty_.receive(1), Bytes{0x06});
}

TEST_F(SerialPortTest, SecondOpenerIsRefused) {
    CSerialPort other;
    EXPECT_THROW(other.Open(pty_.number()), CSerialException);
    EXPECT_FALSE(other.IsOpen());
    port_.Close();
    other.Open(pty_.number());
    EXPECT_TRUE(other.IsOpen());
}

TEST_F(SerialPortTest, RefusedOpenIsExplainedWithTheNodeAndWhoHoldsThePort) {
    CSerialPort other;
    std::uint32_t error = 0;
    try {
        other.Open(pty_.number());
    } catch (const CSerialException& e) {
        error = e.error();
    }
    ASSERT_EQ(error, static_cast<std::uint32_t>(EBUSY));
    const std::string text = explain_port_failure(pty_.number(), error);
    std::string own_name;
    std::ifstream("/proc/self/comm") >> own_name;
    EXPECT_TRUE(text.starts_with(pty_.name() + ": Device or resource busy; another program holds "
                                               "the port: "))
        << text;
    EXPECT_NE(text.find(own_name + " (pid " + std::to_string(getpid()) + ")"), std::string::npos)
        << text;
}

TEST(PortDiagnosis, PermissionAndGoneDevicesGetTheirAdvice) {
    const int port = port_table_register("/dev/ttyTEST-advice");
    EXPECT_EQ(explain_port_failure(port, EACCES)
                  .rfind("/dev/ttyTEST-advice: Permission denied; "
                         "this user may not use the port: add the "
                         "user to the group dialout",
                         0),
              0u);
    EXPECT_NE(explain_port_failure(port, EACCES).find("70-fwupgrade.rules"), std::string::npos);
    EXPECT_NE(explain_port_failure(port, ENOENT).find("; the device has gone"), std::string::npos);
    EXPECT_EQ(explain_port_failure(port, EIO), "/dev/ttyTEST-advice: Input/output error");
    EXPECT_EQ(explain_port_failure(9999, ENOENT), "port 9999 is not known");
}

TEST(SerialException, GivesTheSystemsText) {
    CSerialException e(ENOENT);
    char text[64];
    unsigned help = 99;
    EXPECT_TRUE(e.GetErrorMessage(text, sizeof(text), &help));
    EXPECT_STREQ(text, "No such file or directory");
    EXPECT_EQ(help, 0u);
    char small[5];
    EXPECT_TRUE(e.GetErrorMessage(small, sizeof(small)));
    EXPECT_STREQ(small, "No s");
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
}

TEST(SerialException, UnknownCodeGivesEmptyText) {
    CSerialException e(999999);
    char text[16] = "x";
    EXPECT_FALSE(e.GetErrorMessage(text, sizeof(text)));
    EXPECT_STREQ(text, "");
}

TEST(PortTable, NodeKeepsItsNumber) {
    int a = port_table_register("/dev/ttyTEST-a");
    int b = port_table_register("/dev/ttyTEST-b");
    EXPECT_GE(a, 1);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(port_table_register("/dev/ttyTEST-a"), a);
    std::string node;
    ASSERT_TRUE(port_table_lookup(b, &node));
    EXPECT_EQ(node, "/dev/ttyTEST-b");
    EXPECT_FALSE(port_table_lookup(b + 1, &node));
    EXPECT_FALSE(port_table_lookup(0, &node));
}

TEST(LinePort, ClosePortClosesTheLinesPort) {
    DeviceLine line;
    close_port(line);  // closed already: nothing happens
    Pty pty;
    ASSERT_TRUE(pty.ok());
    line.port->Open(pty.number());
    close_port(line);
    EXPECT_FALSE(line.port->IsOpen());
}

}  // namespace
