#include "discovery/discovery.h"
#include "discovery/discovery_internal.h"
#include "link/serial.h"
#include "tests/support/tempdir.h"

#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string MATCH = "E: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6015\n";

// A sysfs stand-in and a stand-in udevadm first on PATH. The script records its arguments and
// prints the text stored for the device it is asked about.
struct DiscoveryTest : testing::Test {
    TempDir dir;
    std::string devices = dir / "devices";
    std::string answers = dir / "answers";
    std::string bin = dir / "bin";
    void SetUp() override {
        mkdir(devices.c_str(), 0755);
        mkdir(answers.c_str(), 0755);
        mkdir(bin.c_str(), 0755);
        writeText(bin + "/udevadm", "#!/bin/sh\necho \"$#|$1|$2\" >> '" + dir.path +
                                        "/queries'\nf='" + answers +
                                        "/'\"${2#/dev/}\"\n[ -f \"$f\" ] && cat \"$f\"\n");
        chmod((bin + "/udevadm").c_str(), 0755);
        setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        ASSERT_EQ(openRunLog((dir / "log").c_str(), "t", "T"), 0);
    }
    void TearDown() override { closeRunLog(); }
    void adapter(const std::string& name, const std::string& udevOutput) {
        mkdir((devices + "/" + name).c_str(), 0755);
        writeText(answers + "/" + name, udevOutput);
    }
    std::string found() {
        const char* path = getZigbeeDeviceNameIn(devices.c_str());
        return path ? path : "none";
    }
    std::string queries() { return readText(dir / "queries"); }
    std::string log() { return readText(dir / "log"); }
};

TEST_F(DiscoveryTest, FirstMatchInDirectoryOrderWins) {
    adapter(".hidden", MATCH);
    adapter("ttyUSB0", "E: ID_MODEL_ID=6015\n");
    adapter("ttyUSB3", MATCH);
    adapter("ttyUSB7", MATCH);
    std::vector<std::string> order; // the order the directory yields, which must be kept
    DIR* d = opendir(devices.c_str());
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            order.push_back(e->d_name);
    closedir(d);
    std::string expectQueries;
    for (const auto& name : order) {
        expectQueries += "2|info|/dev/" + name + "\n";
        if (name != "ttyUSB0") {
            EXPECT_EQ(found(), "/dev/" + name);
            break;
        }
    }
    EXPECT_EQ(queries(), expectQueries);
    EXPECT_EQ(log(), "t: T\n");
}

TEST_F(DiscoveryTest, KeyValuesAreTakenFromTheLastLineThatHasThem) {
    const std::string longPad(511, 'x'); // fills one read exactly; the key starts the next one
    const std::pair<std::string, int> cases[] = {
        {MATCH, 1},
        {"P: /devices\nID_VENDOR_ID=0403\nxx ID_MODEL_ID=6015", 1},
        {"E: ID_MODEL_ID=6015\n", 0},
        {"E: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6015 \n", 0},
        {"E: ID_MODEL_ID=6001\n" + MATCH, 1},
        {MATCH + "E: ID_MODEL_ID=6001\n", 0},
        {"E: ID_VENDOR_ID=0403\n" + longPad + "ID_MODEL_ID=6015\n", 1},
        {"E: ID_VENDOR_ID=0403\n" + longPad.substr(6) + "ID_MODEL_ID=6015\n", 0}, // key split
        {"", 0},
    };
    for (const auto& [output, expected] : cases) {
        writeText(answers + "/ttyUSB1", output);
        EXPECT_EQ(isZigbeeDevice("ttyUSB1"), expected) << output;
    }
}

TEST_F(DiscoveryTest, NamesReachUdevadmAsOneArgumentAndAreNeverRun) {
    const std::string name = "ttyUSB0;touch X'$(touch Y)'`touch Z` q";
    adapter(name, MATCH);
    EXPECT_EQ(found(), "/dev/" + name);
    EXPECT_EQ(queries(), "2|info|/dev/" + name + "\n");
    for (const char* f : {"X", "Y", "Z"})
        EXPECT_NE(access(f, F_OK), 0) << f;
}

TEST_F(DiscoveryTest, NothingFoundCases) {
    EXPECT_EQ(found(), "none"); // empty directory
    adapter("ttyUSB0", MATCH);
    setenv("PATH", dir.path.c_str(), 1); // no udevadm at all
    EXPECT_EQ(found(), "none");
    EXPECT_EQ(log(), "t: T\n");
    EXPECT_EQ(getZigbeeDeviceNameIn((dir / "absent").c_str()), nullptr);
    EXPECT_EQ(log(), "t: T\nscanDir devices: No such file or directory\n");
}

} // namespace
