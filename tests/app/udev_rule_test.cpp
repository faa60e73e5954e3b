// --udev-rule: the rule for the identifiers a package's settings.ini carries.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/udev_rule.h"
#include "tests/app/upgrade_fixture.h"
#include "tests/support/temp_dir.h"

namespace apptest {
namespace {

std::string rule_pair(const std::string& vendor, const std::string& product) {
    return "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + vendor +
           "\", ATTR{idProduct}==\"" + product + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" +
           "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" +
           product + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n";
}

UdevRule rule_for(const std::string& id_section) {
    TempDir dir;
    return make_udev_rule(dir.write("settings.ini", "[id]\r\n" + id_section));
}

TEST(UdevRule, EachIdentityGetsItsLinesInLowerCaseHexOnce) {
    const UdevRule rule = rule_for(
        "idnum=2\r\ndiag0=USB\\VID_05C6&PID_9003&MI_00\r\ndownload0=usb\\vid_05c6&pid_9100\r\n"
        "savedownload0=USB\\VID_05C6&PID_9100\\5&1234\r\ndiag1=USB\\VID_1E0E&PID_9001&MI_02\r\n");
    EXPECT_EQ(rule.identities, 3);
    EXPECT_NE(rule.text.find("# 05c6:9003 (diag0)\n" + rule_pair("05c6", "9003")),
              std::string::npos)
        << rule.text;
    EXPECT_NE(rule.text.find("# 05c6:9100 (download0 savedownload0)\n" + rule_pair("05c6", "9100")),
              std::string::npos)
        << rule.text;
    EXPECT_NE(rule.text.find(rule_pair("1e0e", "9001")), std::string::npos) << rule.text;
    EXPECT_EQ(rule.text.find("# skipped"), std::string::npos) << rule.text;
    EXPECT_EQ(rule.text.rfind("ACTION==\"remove\", GOTO=\"fwupgrade_end\"\n"),
              rule.text.find("ACTION=="));
    EXPECT_TRUE(rule.text.ends_with("\nLABEL=\"fwupgrade_end\"\n")) << rule.text;
}

TEST(UdevRule, UnreadableIdentifiersAreSkippedWithACommentLine) {
    const UdevRule rule = rule_for(
        "idnum=3\r\ndiag0=USB\\VID_05C6&PID_9003\r\ndiag1=COM7\r\ndownload1=USB\\VID_05C6&PID_"
        "91\r\n"
        "diag2=USB\\VID_05C6&PID_90031\r\ndownload2=USB\\VID_XYZW&PID_9003\r\n");
    EXPECT_EQ(rule.identities, 1);
    EXPECT_NE(rule.text.find(rule_pair("05c6", "9003")), std::string::npos) << rule.text;
    for (const char* skipped :
         {"# skipped diag1=COM7: not a USB\\VID_xxxx&PID_xxxx identifier\n",
          "# skipped download1=USB\\VID_05C6&PID_91: ", "# skipped diag2=USB\\VID_05C6&PID_90031: ",
          "# skipped download2=USB\\VID_XYZW&PID_9003: "})
        EXPECT_NE(rule.text.find(skipped), std::string::npos) << skipped << "\n" << rule.text;
}

// The port search reads only the first idnum of each kind; so does the rule.
TEST(UdevRule, OnlyTheIdentifiersThePortSearchReadsCount) {
    const UdevRule rule =
        rule_for("idnum=1\r\ndiag0=USB\\VID_05C6&PID_9003\r\ndiag1=USB\\VID_1234&PID_5678\r\n");
    EXPECT_EQ(rule.identities, 1);
    EXPECT_EQ(rule.text.find("1234"), std::string::npos) << rule.text;
    EXPECT_EQ(rule_for("diag0=USB\\VID_05C6&PID_9003\r\n").identities, 0);
}

// The installed rule and the installed sample settings.ini name the same modem: what the program
// prints for that settings.ini is in the installed rule, line for line.
TEST(UdevRule, PackagedRuleHoldsWhatThePackagedSampleSettingsGive) {
    const std::string packaged = read_text(FWUP_SOURCE_DIR "/packaging/udev/70-fwupgrade.rules");
    ASSERT_FALSE(packaged.empty());
    const UdevRule rule = make_udev_rule(FWUP_SOURCE_DIR "/packaging/settings.ini");
    EXPECT_EQ(rule.identities, 2) << rule.text;
    for (const std::string& pair : {rule_pair("05c6", "9003"), rule_pair("05c6", "9100")}) {
        EXPECT_NE(rule.text.find(pair), std::string::npos) << pair << rule.text;
        EXPECT_NE(packaged.find(pair), std::string::npos) << pair;
    }
}

TEST_F(UpgradeRun, UdevRuleOptionPrintsTheRuleOfTheGivenPackage) {
    PackageDir package({"idnum=2", "diag1=USB\\VID_12D1&PID_1506&MI_01", "download1=COM3"});
    ProgramDir program;

    RunOptions options;
    options.args = {"--udev-rule", "--package", package.path()};
    RunResult run = run_windowless(program, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("# " + package.path() + "/settings.ini\n"), std::string::npos)
        << run.out;
    for (const std::string& part :
         {rule_pair("05c6", "9003"), rule_pair("05c6", "9100"), rule_pair("12d1", "1506"),
          std::string("# skipped download1=COM3: not a USB\\VID_xxxx&PID_xxxx identifier\n")})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(std::filesystem::exists(program.file("download.dbg")));
}

TEST_F(UpgradeRun, UdevRuleWithoutSettingsOrIdentifiersFails) {
    ProgramDir program;
    RunOptions options;
    options.args = {"--udev-rule"};
    RunResult run = run_windowless(program, options);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("cannot read " + program.path() + "/settings.ini\n"), std::string::npos)
        << run.err;

    // A rule that matches nothing must not replace a working one.
    for (const auto& [settings, said] : std::vector<std::pair<std::string, std::string>>{
             {"idnum=0",
              "fwupgrade: settings.ini: idnum is 0, so no port of the device can be "
              "found\n"},
             {"diag0=",
              "fwupgrade: settings.ini: diag0 is empty, so the port of the device in "
              "normal mode is not named\n"},
             {"diag0=COM3", "names no USB device identifier"}}) {
        PackageDir package({settings, "download0=COM4", "savedownload0=COM5"});
        options.args = {"--udev-rule", "--package", package.path()};
        run = run_windowless(program, options);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exit_status, 1) << settings;
        EXPECT_EQ(run.out, "") << settings;
        EXPECT_NE(run.err.find(said), std::string::npos) << settings << "\n" << run.err;
    }
}

}  // namespace
}  // namespace apptest
