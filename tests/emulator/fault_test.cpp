// Each fault kind does what it says, on the requests it is aimed at and no others.
#include "tests/emulator/device.h"

namespace {

using emu::Fault;
using emu::FaultKind;
using emu::Mode;

emu::Options with_fault(Mode mode, const std::string& config) {
    auto o = quick_options(mode);
    std::string error;
    auto f = Fault::parse(config, &error);
    EXPECT_TRUE(f) << error;
    if (f) o.faults.push_back(*f);
    return o;
}

TEST(EmulatorFaultParse, ReadsKindModeCommandAndKeys) {
    auto f = Fault::parse("drop:diag:0x4b:efs=2:nth=3:times=0");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, FaultKind::Drop);
    EXPECT_EQ(f->mode, Mode::Diag);
    EXPECT_EQ(f->command, 0x4B);
    EXPECT_EQ(f->efs_command, 2);
    EXPECT_EQ(f->nth, 3);
    EXPECT_EQ(f->times, 0);
    auto g = Fault::parse("nak:dload:15:code=7:every:p=0.25:ms=10");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->command, 15);
    EXPECT_EQ(g->code, 7);
    EXPECT_EQ(g->times, 0);
    EXPECT_DOUBLE_EQ(g->probability, 0.25);
    EXPECT_EQ(Fault::parse("efs:diag:any:code=28")->command, 0x4B);
    EXPECT_EQ(Fault::parse("hangup:stream:any")->command, -1);
    EXPECT_EQ(Fault::parse("lose:diag:0x3a")->kind, FaultKind::Lost);
    auto h = Fault::parse("hangup:stream:0x07:back=dload:stay:ms=40");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->back, Mode::Dload);
    EXPECT_TRUE(h->stays_away);
    EXPECT_EQ(h->delay_ms, 40);
}

TEST(EmulatorFaultParse, RefusesWhatNoDeviceCouldDo) {
    for (const char* bad :
         {"drop", "drop:diag", "boom:diag:0", "drop:usb:0", "drop:diag:300", "nak:diag:0",
          "diagerr:dload:6", "logbefore:diag:0", "efs:dload:0x4b", "efs:diag:0x00",
          "drop:diag:0:nth=0", "drop:diag:0:p=2", "drop:diag:0:color=1", "drop:diag:0:nth",
          "hangup:diag:0:back=usb", "drop:diag:0:back=dload", "lose:diag:0:stay"}) {
        std::string error;
        EXPECT_FALSE(Fault::parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(EmulatorFault, DropLosesOnlyTheNthMatchingRequest) {
    Device d(with_fault(Mode::Diag, "drop:diag:0x00:nth=2"));
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x00);
    d.client->send({0x00}, false);
    // The dropped request leaves no answer behind: the next answer is the build version's.
    EXPECT_EQ(d.diag({0x7C}).packet[0], 0x7C);
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x00);
    EXPECT_EQ(d.emulator.request_count(Mode::Diag, 0x00), 3);
}

TEST(EmulatorFault, HitsOnlyTheWindowFromNthForTimes) {
    Device d(with_fault(Mode::Diag, "diagerr:diag:0x7c:nth=2:times=2"));
    std::vector<int> first;
    for (int i = 0; i < 5; ++i)
        first.push_back(d.diag({0x7C}).packet[0]);
    EXPECT_EQ(first, (std::vector<int>{0x7C, 0x13, 0x13, 0x7C, 0x7C}));
}

TEST(EmulatorFault, ProbabilityFollowsTheSeed) {
    auto pattern = [](std::uint32_t seed) {
        auto o = with_fault(Mode::Diag, "diagerr:diag:0x00:every:p=0.5");
        o.seed = seed;
        Device d(o);
        std::string hits;
        for (int i = 0; i < 40; ++i)
            hits += d.diag({0x00}).packet[0] == 0x13 ? 'x' : '.';
        return hits;
    };
    const std::string a = pattern(7);
    EXPECT_EQ(a, pattern(7));
    EXPECT_NE(a.find('x'), std::string::npos);
    EXPECT_NE(a.find('.'), std::string::npos);
}

TEST(EmulatorFault, DelayHoldsTheAnswerPastTheReadTimeOut) {
    Device d(with_fault(Mode::Diag, "delay:diag:0x00:ms=900"));
    d.client->send({0x00}, false);
    // The answer cannot come before the delay is over.
    EXPECT_FALSE(d.client->read_answer(500ms).got());
    auto late = d.client->read_answer(5s);
    EXPECT_TRUE(late.crc_ok);
    EXPECT_EQ(late.packet[0], 0x00);
}

TEST(EmulatorFault, SplitSendsTheAnswerInTwoWrites) {
    Device d(with_fault(Mode::Dload, "split:dload:0x07:ms=400"));
    d.client->send({0x07}, true);
    Bytes first = d.client->read_some(3s);
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.back(), 0x7E);  // no closing flag yet
    auto rest = d.client->read_frame(5s);
    auto whole = PtyClient::decode(cat(first, rest));
    EXPECT_TRUE(whole.crc_ok);
    EXPECT_EQ(whole.packet[0], 0x08);
}

TEST(EmulatorFault, LoseCarriesOutTheRequestButSendsNoAnswer) {
    Device d(with_fault(Mode::Diag, "lose:diag:0x4b:efs=9"));
    d.client->send(efs_mkdir("/home/www"), false);
    EXPECT_FALSE(d.client->read_answer(500ms).got());
    EXPECT_EQ(d.emulator.efs_type("/home/www"), emu::EfsType::Directory);
    EXPECT_TRUE(d.diag(efs_mkdir("/home/x")).crc_ok);
}

TEST(EmulatorFault, LostSwitchAnswerStillTakesTheDeviceToDload) {
    Device d(with_fault(Mode::Diag, "lose:diag:0x3a"));
    d.client->send({0x3A}, false);
    EXPECT_FALSE(d.client->read_answer(200ms).got());
    ASSERT_TRUE(d.reconnect(Mode::Dload));
    EXPECT_EQ(d.dl({0x06}).packet, Bytes{0x02});
}

TEST(EmulatorFault, BadCrcCorruptsTheAnswerButCarriesOutTheRequest) {
    Device d(with_fault(Mode::Diag, "badcrc:diag:0x4b:efs=9"));
    auto a = d.diag(efs_mkdir("/home/www"));
    ASSERT_TRUE(a.got());
    EXPECT_FALSE(a.crc_ok);
    EXPECT_EQ(d.emulator.efs_type("/home/www"), emu::EfsType::Directory);
    EXPECT_TRUE(d.diag(efs_mkdir("/home/x")).crc_ok);
}

TEST(EmulatorFault, NakReplacesTheAnswerWithTheCode) {
    Device d(with_fault(Mode::Dload, "nak:dload:0x0b:code=0x1234:every"));
    EXPECT_EQ(d.dl({0x0B, 0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xD4, 0x61, 0xF0}).packet,
              (Bytes{0x03, 0x12, 0x34}));
    EXPECT_EQ(d.dl({0x06}).packet, Bytes{0x02});
    // The unlock never happened.
    EXPECT_EQ(d.dl({0x0F, 0, 0, 0x10, 0, 0, 1, 9}).packet, (Bytes{0x03, 0x00, 0x0B}));
}

TEST(EmulatorFault, DiagErrorAnswersBadCommand) {
    Device d(with_fault(Mode::Diag, "diagerr:diag:0x3a"));
    EXPECT_EQ(d.diag({0x3A}).packet, (Bytes{0x13, 0x3A}));
    EXPECT_EQ(d.emulator.mode(), Mode::Diag);
    EXPECT_TRUE(d.emulator.present());
}

TEST(EmulatorFault, LogBeforeSendsALogMessageThenTheAnswer) {
    Device d(with_fault(Mode::Stream, "logbefore:stream:0x07:ms=20"));
    d.dl(kHello);
    d.dl({0x1B, 0x02});
    auto log = d.dl(cat({0x07}, cat(le32(0), {1, 2, 3})));
    EXPECT_EQ(log.packet[0], 0x0E);
    auto answer = d.client->read_answer();
    EXPECT_EQ(answer.packet, cat({0x08}, le32(0)));
    EXPECT_EQ(d.emulator.flash_image(2)->data, (Bytes{1, 2, 3}));
}

TEST(EmulatorFault, LogInsteadReplacesTheAnswer) {
    Device d(with_fault(Mode::Stream, "loginstead:stream:0x15"));
    d.dl(kHello);
    d.dl({0x1B, 0x03});
    EXPECT_EQ(d.dl({0x15}).packet[0], 0x0E);
    EXPECT_FALSE(d.emulator.flash_image(3)->closed);
    EXPECT_EQ(d.dl({0x15}).packet, Bytes{0x16});
}

TEST(EmulatorFault, HangUpDropsTheLineAndTheDeviceComesBackInTheSameMode) {
    Device d(with_fault(Mode::Diag, "hangup:diag:0x4b"));
    const std::string first = d.emulator.device_node();
    d.client->send(efs_mkdir("/home/a"), false);
    EXPECT_FALSE(d.client->read_answer(5s).got());
    EXPECT_TRUE(d.client->hung_up());
    ASSERT_TRUE(d.reconnect_after(2));
    EXPECT_NE(d.emulator.device_node(), first);
    EXPECT_EQ(d.emulator.mode(), Mode::Diag);
    EXPECT_EQ(at32(d.diag(efs_mkdir("/home/a")).packet, 4), 0u);
}

TEST(EmulatorFault, HangUpThatStaysAwayComesBackInTheNamedModeOnlyWhenReplugged) {
    Device d(with_fault(Mode::Stream, "hangup:stream:0x07:back=dload:stay"));
    d.dl(kHello);
    d.client->send(cat({0x07}, le32(0)), true);
    EXPECT_FALSE(d.client->read_answer(5s).got());
    EXPECT_TRUE(d.client->hung_up());
    // Away for far longer than the return delay, until it is plugged back in.
    ASSERT_TRUE(d.emulator.wait_unplugged(5s));
    EXPECT_FALSE(d.emulator.wait_for(Mode::Dload, 300ms));
    EXPECT_FALSE(d.emulator.present());
    d.emulator.replug();
    ASSERT_TRUE(d.reconnect(Mode::Dload));
    // A fresh boot downloader: locked until it is unlocked again.
    EXPECT_EQ(d.dl({0x06}).packet, Bytes{0x02});
    EXPECT_EQ(d.dl({0x0F, 0, 0, 0, 0, 0, 1, 0xAA}).packet, (Bytes{0x03, 0x00, 0x0B}));
}

TEST(EmulatorFault, DeviceThatDoesNotReturnAfterItsResetComesBackWhenReplugged) {
    auto o = quick_options(Mode::Stream);
    o.return_after_reset = false;
    Device d(o);
    d.dl(kHello);
    EXPECT_EQ(d.dl({0x0B}).packet, Bytes{0x0C});
    EXPECT_TRUE(d.emulator.wait_finished(5s));
    ASSERT_TRUE(d.emulator.wait_unplugged(5s));
    EXPECT_FALSE(d.emulator.wait_for(Mode::Diag, 300ms));
    d.emulator.replug();
    ASSERT_TRUE(d.reconnect(Mode::Diag));
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x00);
}

TEST(EmulatorFault, EfsErrorFailsTheOperationWithTheCode) {
    Device d(with_fault(Mode::Diag, "efs:diag:0x4b:efs=2:code=28"));
    auto a = d.diag(efs_create("/home/f"));
    EXPECT_TRUE(a.crc_ok);
    EXPECT_EQ(Bytes(a.packet.begin(), a.packet.begin() + 3), (Bytes{0x4B, 0x13, 0x02}));
    EXPECT_EQ(at32(a.packet, 8), 28u);
    EXPECT_EQ(d.emulator.efs_type("/home/f"), emu::EfsType::None);
    // Other file-system requests are not touched.
    EXPECT_EQ(at32(d.diag(efs_stat("/home")).packet, 4), 0u);
}

TEST(EmulatorFault, FaultsCombineOnOneRequest) {
    auto o = with_fault(Mode::Stream, "logbefore:stream:0x0b:ms=20");
    o.faults.push_back(*Fault::parse("badcrc:stream:0x0b"));
    Device d(o);
    d.dl(kHello);
    EXPECT_EQ(d.dl({0x0B}).packet[0], 0x0E);
    auto reset = d.client->read_answer();
    EXPECT_EQ(reset.packet, Bytes{0x0C});
    EXPECT_FALSE(reset.crc_ok);
}

TEST(EmulatorFault, AddedAtRunTimeAndCleared) {
    Device d(quick_options());
    d.emulator.add_fault(*Fault::parse("diagerr:diag:0x00:every"));
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x13);
    d.emulator.clear_faults();
    EXPECT_EQ(d.diag({0x00}).packet[0], 0x00);
}

}  // namespace
