// find_mmc_disk against USB disks in the mocked device database.
#include <gtest/gtest.h>

#include "discovery/device_enum.h"
#include "discovery/disk_discovery.h"
#include "testbed/testbed.h"
#include "tests/discovery/program_folder.h"

namespace {

using testbed::FakeDevice;
using testbed::Testbed;
using testbed::UsbDiskSpec;

class DiskSearch : public testing::Test {
  protected:
    void TearDown() override {
        for (const FakeDevice& d : devices_)
            Testbed::instance().remove(d);
    }

    void add(const std::string& vendor, const std::string& model, const std::string& serial) {
        UsbDiskSpec config;
        config.vendor = vendor;
        config.model = model;
        config.serial = serial;
        devices_.push_back(Testbed::instance().add_disk(config));
    }

    // The instance identifiers of the present USB disks, in enumeration order.
    static std::vector<std::string> disk_ids() {
        std::vector<std::string> ids;
        std::optional<std::vector<UsbDiskRecord>> disks = enumerate_usb_disks();
        if (!disks) return ids;
        for (const UsbDiskRecord& disk : *disks)
            ids.push_back(disk_instance_id(disk));
        return ids;
    }

    ProgramFolder folder_;
    std::vector<FakeDevice> devices_;
};

TEST_F(DiskSearch, ReadsTheDiskIdentifierFromTheScsiDevice) {
    add("Vendor", "MMC Storage", "0123abcd");
    EXPECT_EQ(disk_ids(), std::vector<std::string>{
                              "USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE&REV_2.31\\0123ABCD&0"});
}

TEST_F(DiskSearch, WithoutMmcKeysFindsNothingAndLogsNothing) {
    add("Vendor", "MMC Storage", "1");
    folder_.write_settings("idnum=1\ndiag0=USB\\VID_05C6\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 0);
    EXPECT_EQ(folder_.take_log(), "");
}

TEST_F(DiskSearch, EmptyKeysAreSkipped) {
    add("Vendor", "MMC Storage", "1");
    folder_.write_settings("mmc0=\nmmc5=USBSTOR\\DISK&VEN_VENDOR&PROD_MMC\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 1);
    EXPECT_EQ(folder_.take_log(),
              "Finding mmc USBSTOR\\DISK&VEN_VENDOR&PROD_MMC....\n"
              "Found match mmc USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE&REV_2.31\\1&0 OK!!!\n");
}

TEST_F(DiskSearch, TriesEveryKeyOnTheFirstDiskBeforeTheSecondMatches) {
    add("Vendor", "Card Reader", "1");
    add("Vendor", "MMC Storage", "2");
    std::vector<std::string> ids = disk_ids();
    ASSERT_EQ(ids.size(), 2u);
    const std::string& second = ids[1];
    folder_.write_settings("mmc0=USBSTOR\\DISK&VEN_OTHER\nmmc1=" + second + "\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 1);
    EXPECT_EQ(folder_.take_log(),
              "Finding mmc USBSTOR\\DISK&VEN_OTHER....\n"
              "Error: Find mmc USBSTOR\\DISK&VEN_OTHER fail.\n"
              "Finding mmc " +
                  second +
                  "....\n"
                  "Error: Find mmc " +
                  second +
                  " fail.\n"
                  "Finding mmc USBSTOR\\DISK&VEN_OTHER....\n"
                  "Error: Find mmc USBSTOR\\DISK&VEN_OTHER fail.\n"
                  "Finding mmc " +
                  second +
                  "....\n"
                  "Found match mmc " +
                  second + " OK!!!\n");
}

TEST_F(DiskSearch, PrefixMatchingOnlyInTheMiddleIsNoMatch) {
    add("Vendor", "MMC Storage", "1");
    folder_.write_settings("mmc0=DISK&VEN_VENDOR\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 0);
    EXPECT_EQ(folder_.take_log(),
              "Finding mmc DISK&VEN_VENDOR....\nError: Find mmc DISK&VEN_VENDOR fail.\n");
}

// Another modem's disk is not the awaited modem coming back.
TEST_F(DiskSearch, DiskAtAnotherLocationDoesNotCount) {
    add("Vendor", "MMC Storage", "1");
    folder_.write_settings("mmc0=USBSTOR\\DISK&VEN_VENDOR\n");
    std::optional<std::vector<UsbDiskRecord>> disks = enumerate_usb_disks();
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 1u);
    const std::string location = disks->front().device_location;
    ASSERT_FALSE(location.empty());
    EXPECT_EQ(find_mmc_disk(folder_.settings(), location + ".9"), 0);
    EXPECT_EQ(find_mmc_disk(folder_.settings(), location), 1);
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 1);
}

TEST_F(DiskSearch, DisksWithoutAUsbDeviceAreNotListed) {
    devices_.push_back(Testbed::instance().add_plain_disk());
    folder_.write_settings("mmc0=USBSTOR\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 0);
    EXPECT_EQ(folder_.take_log(), "");
}

}  // namespace
