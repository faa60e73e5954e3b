#include "link/hdlc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/support/log_capture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t crc_of(const Bytes& packet) {
    return crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
}

Bytes encode(const Bytes& packet, bool leading_flag) {
    return hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc_of(packet),
                       leading_flag);
}

// Bit by bit, straight from the definition: reflected 0x1021, start 0xFFFF, complemented.
std::uint16_t slow_crc(const Bytes& data) {
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : data) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
    }
    return static_cast<std::uint16_t>(~reg);
}

TEST(Crc16, CheckValueAndGoodResidue) {
    const Bytes text = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc_of(text), 0x906E);
    Bytes with_crc = text;
    with_crc.push_back(0x6E);
    with_crc.push_back(0x90);
    EXPECT_EQ(crc16_check(with_crc.data(), static_cast<int>(with_crc.size())), 1);
    with_crc[3] ^= 0x01;
    EXPECT_EQ(crc16_check(with_crc.data(), static_cast<int>(with_crc.size())), 0);
}

TEST(Crc16, EmptyInputGivesZeroAndFailsTheCheck) {
    const std::uint8_t none[1] = {0};
    EXPECT_EQ(crc16_bits(none, 0), 0x0000);
    EXPECT_EQ(crc16_check(none, 0), 0);
}

TEST(Crc16, TableMatchesTheBitwiseDefinition) {
    std::mt19937 random(1662);
    for (int round = 0; round < 200; ++round) {
        Bytes data(random() % 300);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(random());
        EXPECT_EQ(crc_of(data), slow_crc(data));
    }
    for (int i = 0; i < 256; ++i) {
        Bytes one = {static_cast<std::uint8_t>(i)};
        ASSERT_EQ(crc_of(one), slow_crc(one)) << i;
    }
}

TEST(HdlcEncode, DiagVersionRequest) {
    EXPECT_EQ(encode({0x00}, false), (Bytes{0x00, 0x78, 0xF0, 0x7E}));
}

TEST(HdlcEncode, DiagSwitchToDownloadRequest) {
    EXPECT_EQ(encode({0x3A}, false), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
}

TEST(HdlcEncode, DloadNopWithLeadingFlag) {
    EXPECT_EQ(encode({0x06}, true), (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
}

TEST(HdlcEncode, ReservedBytesAreEscapedAndCrcTakenOverUnescapedBytes) {
    EXPECT_EQ(crc_of({0x7E, 0x7D}), 0xCDF1);
    EXPECT_EQ(encode({0x7E, 0x7D}, false), (Bytes{0x7D, 0x5E, 0x7D, 0x5D, 0xF1, 0xCD, 0x7E}));
}

TEST(HdlcEncode, NoOtherByteIsEscaped) {
    Bytes packet = {0x00, 0x11, 0x13, 0x0A, 0x0D, 0x20, 0x5E, 0x5D, 0xFF};
    Bytes frame = encode(packet, false);
    ASSERT_EQ(frame.size(), packet.size() + 3);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), frame.begin()));
}

TEST(HdlcEncode, CrcBytesEqualToFlagOrEscapeAreEscaped) {
    const std::uint8_t packet[] = {0x01};
    EXPECT_EQ(hdlc_encode(packet, 1, 0x7D7E, false), (Bytes{0x01, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}));
    // And with the CRC of a real packet whose low byte is the flag.
    for (int i = 0; i < 65536; ++i) {
        Bytes p = {static_cast<std::uint8_t>(i & 0x3F), static_cast<std::uint8_t>(i >> 8)};
        if (p[1] == 0x7E || p[1] == 0x7D) continue;
        std::uint16_t crc = crc_of(p);
        if ((crc & 0xFF) != 0x7E || (crc >> 8) == 0x7E || (crc >> 8) == 0x7D) continue;
        EXPECT_EQ(encode(p, false),
                  (Bytes{p[0], p[1], 0x7D, 0x5E, static_cast<std::uint8_t>(crc >> 8), 0x7E}));
        return;
    }
    FAIL() << "no packet found";
}

// Byte by byte, as the framing is defined: the encoder and the decoder scan words of eight bytes,
// and a reserved byte anywhere in a word must still be found.
Bytes slow_frame(const Bytes& packet, std::uint16_t crc) {
    Bytes frame;
    Bytes all = packet;
    all.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    all.push_back(static_cast<std::uint8_t>(crc >> 8));
    for (std::uint8_t b : all) {
        if (b == 0x7E || b == 0x7D) {
            frame.push_back(0x7D);
            frame.push_back(static_cast<std::uint8_t>(b ^ 0x20));
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(0x7E);
    return frame;
}

TEST(HdlcEncode, LoneReservedByteIsFoundWhereverItSits) {
    std::mt19937 random(99);
    for (int at = 0; at < 40; ++at) {
        for (std::uint8_t reserved : {0x7E, 0x7D}) {
            Bytes packet(40);
            for (auto& b : packet)
                b = static_cast<std::uint8_t>(0x7C + 4 + random() % 252);  // never 7C..7F
            packet[static_cast<std::size_t>(at)] = reserved;
            Bytes frame = encode(packet, false);
            ASSERT_EQ(frame, slow_frame(packet, crc_of(packet))) << at;
            ASSERT_EQ(check_buf(frame.data(), static_cast<int>(frame.size())), 42) << at;
            EXPECT_TRUE(std::equal(packet.begin(), packet.end(), frame.begin())) << at;
        }
    }
}

TEST(CheckBuf, EscapeBeforeAnOrdinaryByteIsKeptAsItIs) {
    Bytes buffer = {0x7D, 0x41, 0x7E};
    EXPECT_EQ(check_buf(buffer.data(), static_cast<int>(buffer.size())), 2);
    EXPECT_EQ(buffer[0], 0x7D);
    EXPECT_EQ(buffer[1], 0x41);
}

TEST(CheckBuf, EscapedReservedBytesAreRestored) {
    Bytes buffer = {0x10, 0x7D, 0x5E, 0x7D, 0x5D, 0x20, 0x7E, 0x99};
    ASSERT_EQ(check_buf(buffer.data(), static_cast<int>(buffer.size())), 4);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{0x10, 0x7E, 0x7D, 0x20}));
}

TEST(CheckBuf, EscapeBeforeTheFlagIsKeptAndTheFlagEndsTheFrame) {
    Bytes buffer = {0x31, 0x7D, 0x7E, 0x32};
    ASSERT_EQ(check_buf(buffer.data(), static_cast<int>(buffer.size())), 2);
    EXPECT_EQ(buffer[1], 0x7D);
}

TEST(CheckBuf, LeadingFlagGivesAnEmptyFrame) {
    LogCapture log;
    Bytes buffer = {0x7E, 0x01, 0x02, 0x7E};
    EXPECT_EQ(check_buf(buffer.data(), static_cast<int>(buffer.size())), 0);
    EXPECT_EQ(crc16_check(buffer.data(), 0), 0);
    EXPECT_EQ(log.text(), "");
}

TEST(CheckBuf, BufferWithoutFlagLogsOverflowAndStaysInside) {
    LogCapture log;
    // Guard bytes after the capacity must stay untouched, whatever the content.
    Bytes buffer = {0x01, 0x7D, 0x5E, 0x02, 0x7D, 0xAA, 0xAA};
    EXPECT_EQ(check_buf(buffer.data(), 5), 4);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{0x01, 0x7E, 0x02, 0x7D}));
    EXPECT_EQ(buffer[5], 0xAA);
    EXPECT_EQ(buffer[6], 0xAA);
    EXPECT_EQ(log.text(), "check buf: size 4 overflow 5 error! \n");
}

TEST(CheckBuf, NoCapacityDecodesNothing) {
    LogCapture log;
    std::uint8_t guard[2] = {0x7D, 0x5E};
    EXPECT_EQ(check_buf(guard, 0), 0);
    EXPECT_EQ(check_buf(guard, -5), 0);
    EXPECT_EQ(guard[0], 0x7D);
    EXPECT_EQ(guard[1], 0x5E);
}

TEST(CheckBuf, RandomInputNeverLeavesItsCapacity) {
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        int capacity = static_cast<int>(random() % 64);
        // Exactly capacity bytes of heap: the address sanitizer catches any step outside.
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity));
        for (auto& b : buffer) {
            int pick = static_cast<int>(random() % 4);
            b = pick == 0 ? 0x7D : pick == 1 ? 0x7E : static_cast<std::uint8_t>(random());
        }
        int n = check_buf(buffer.data(), capacity);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, capacity);
    }
}

TEST(Framing, RandomPacketsSurviveTheRoundTrip) {
    std::mt19937 random(2024);
    std::vector<Bytes> packets = {Bytes(300, 0x7E), Bytes(300, 0x7D), Bytes{0x7E}, Bytes{0x7D}};
    for (int round = 0; round < 500; ++round) {
        Bytes packet(1 + random() % 600);
        for (auto& b : packet) {
            // Plenty of reserved values, so escapes meet each other and the CRC.
            int pick = static_cast<int>(random() % 4);
            b = pick == 0 ? 0x7D : pick == 1 ? 0x7E : static_cast<std::uint8_t>(random());
        }
        packets.push_back(packet);
    }
    for (const Bytes& packet : packets) {
        for (bool flag : {false, true}) {
            Bytes frame = encode(packet, flag);
            ASSERT_LE(frame.size(), 2 * packet.size() + 6);
            std::uint8_t* start = frame.data() + (flag ? 1 : 0);
            int capacity = static_cast<int>(frame.size()) - (flag ? 1 : 0);
            int n = check_buf(start, capacity);
            ASSERT_EQ(n, static_cast<int>(packet.size()) + 2);
            EXPECT_TRUE(std::equal(packet.begin(), packet.end(), start));
            EXPECT_EQ(crc16_check(start, n), 1);
        }
    }
}

}  // namespace
