// The mode probe against the emulated modem on a pseudo-terminal, in each of its modes.
#include <gtest/gtest.h>

#include <string>

#include "diag/diag_commands.h"
#include "link/serial_port.h"
#include "probe/mode_probe.h"
#include "tests/support/protocol_support.h"

namespace {

using emu::Mode;

struct ModeCase {
    Mode mode;
    int found;
    std::string last_line;
};
void PrintTo(const ModeCase& x, std::ostream* os) {
    *os << "mode " << x.found;
}

class ProbeRoundTrip : public ProtocolTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ProbeRoundTrip, FindsTheModeTheDeviceIsIn) {
    // The probe opens the port itself: start the device, then let go of the port.
    device(GetParam().mode);
    line.port->Close();
    EXPECT_EQ(open_port(line, port), GetParam().found);
    EXPECT_TRUE(line.port->IsOpen());
    EXPECT_TRUE(log.text().ends_with(GetParam().last_line)) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ProbeRoundTrip,
    ::testing::Values(ModeCase{Mode::Diag, MODE_DIAG, "Open in DIAG mode\n"},
                      ModeCase{Mode::Dload, MODE_DLOAD, "Open in DLoad mode\n"},
                      ModeCase{Mode::Stream, MODE_STREAM, "Open in Stream Download mode\n"}));

TEST_F(ProtocolTest, DownloadPortOpensOnARunningProgrammer) {
    device(Mode::Stream);
    line.port->Close();
    EXPECT_EQ(open_dl_port(line, port), MODE_DLOAD);
    EXPECT_EQ(log.text(), "Open in Stream Download mode\n");
}

}  // namespace
