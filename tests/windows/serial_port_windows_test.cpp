// The Windows serial port under wine, against a pseudo-terminal on the Linux side that echoes what
// it gets: the COM number is given in FWUP_TEST_COM by the script that set up the link
// (scripts/wine-serial.sh). Without it the line tests are skipped; the ones that need no line run.
//
// Under wine a read with these time-outs always waits its whole time-out, even when bytes are
// waiting (on Windows it returns with them at once); the tests do not look at how long a read
// takes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int test_com() {
    const char* text = std::getenv("FWUP_TEST_COM");
    return text ? std::atoi(text) : 0;
}

class SerialPortUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test_com() <= 0) GTEST_SKIP() << "no COM link set up (FWUP_TEST_COM)";
        port_.Open(test_com());
        ASSERT_TRUE(port_.IsOpen());
    }

    // Reads until count bytes came or ten reads in a row brought nothing.
    Bytes read_port(std::size_t count) {
        Bytes got;
        for (int quiet = 0; got.size() < count && quiet < 10;) {
            std::uint8_t chunk[512];
            const int n = port_.Read(chunk, sizeof chunk);
            quiet = n > 0 ? 0 : quiet + 1;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    CSerialPort port_;
};

TEST_F(SerialPortUnderWine, EveryByteValueGoesOutAndComesBackUnchanged) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(port_.Write(all.data(), static_cast<int>(all.size())), 256);
    port_.Flush();
    EXPECT_EQ(read_port(all.size()), all);
}

TEST_F(SerialPortUnderWine, ReadWithNothingWaitingGivesNothing) {
    std::uint8_t buffer[16];
    EXPECT_EQ(port_.Read(buffer, sizeof buffer), 0);
}

TEST_F(SerialPortUnderWine, OpenOnAnOpenPortReopensAndCloseTwiceIsHarmless) {
    port_.Open(test_com());
    EXPECT_TRUE(port_.IsOpen());
    const std::uint8_t out[] = {0x7E, 0x06};
    EXPECT_EQ(port_.Write(out, 2), 2);
    EXPECT_EQ(read_port(2), (Bytes{0x7E, 0x06}));
    port_.Close();
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
}

TEST(SerialPort, PortThatDoesNotExistRaisesTheSystemsErrorAndStaysClosed) {
    CSerialPort port;
    try {
        port.Open(250);
        FAIL() << "COM250 opened";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
        char text[128];
        EXPECT_TRUE(e.GetErrorMessage(text, sizeof text));
        EXPECT_GT(std::string(text).size(), 0u);
        EXPECT_EQ(std::string(text).find('\n'), std::string::npos) << "no line end in the text";
    }
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, ClosedPortRaisesOnUse) {
    CSerialPort port;
    std::uint8_t byte = 0;
    EXPECT_THROW(port.Write(&byte, 1), CSerialException);
    EXPECT_THROW(port.Read(&byte, 1), CSerialException);
    EXPECT_THROW(port.Flush(), CSerialException);
}

}  // namespace
