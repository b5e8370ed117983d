// Checking a data file before it goes to a box: the built file passes, every
// truncation at an item boundary and every changed byte that can be seen is reported
// in the item it hits, the AC-3 CRCs agree with ffmpeg's decoder, and demo-data build
// refuses a file the show would not read as it was made.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

#include "data/datacheck.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

const std::string kDataFile = std::string(BOX_ROOT) + DEMO_DATA_PATH;

datafile::Check check_bytes(Bytes stored) {
    std::FILE* f = fmemopen(stored.data(), stored.size(), "rb");
    datafile::Check c = datafile::check(f, nullptr);
    std::fclose(f);
    return c;
}

const datafile::Finding* first_bad(const datafile::Check& c) {
    for (const datafile::Finding& f : c.items)
        if (!f.ok) return &f;
    return nullptr;
}

TEST(DataCheck, PassesTheBuiltFileAndLogoWithALinePerItem) {
    std::string out = testbox::temp_dir() + "/check.txt";
    std::string cmd = testbox::program("src/data/demo-data") + " check " + kDataFile + " " + BOX_ROOT +
                      "/mnt/html/gui/Velmaris.png > " + out;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string text = testbox::text_of(out);
    for (const char* item : {"prelude picture 0", "prelude picture 3", "prelude soundtrack", "separator",
                             "main soundtrack", "end-title font", "end-title text", "logo"})
        EXPECT_NE(text.find(item), std::string::npos) << item;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11) << text;
    EXPECT_EQ(text.find("BAD"), std::string::npos) << text;
}

// Each damage is named by the item it hits, the exit status is not 0, and the place
// of a damaged frame or chunk is given.
TEST(DataCheck, NamesTheItemOfEveryDamage) {
    const Bytes stored = testbox::read_file(kDataFile);
    Bytes plain = stored;
    simplecrypt(plain.data(), plain.size(), kDataSeed);
    datafile::Check good = check_bytes(stored);
    ASSERT_TRUE(good.passed()) << datafile::report(good);
    ASSERT_EQ(good.items.size(), 9u);
    std::map<std::string, datafile::Finding> items;
    for (const auto& f : good.items) items.emplace(f.item, f);

    struct Damage {
        std::string name;
        Bytes bytes;
        std::string item, says;
    };
    std::vector<Damage> cases;
    // Cut at every item boundary, and one byte short of the end.
    for (const auto& f : good.items)
        if (f.offset > 0) cases.push_back({"cut at " + f.item, Bytes(stored.begin(), stored.begin() + long(f.offset)), f.item, ""});
    cases.push_back({"last byte cut", Bytes(stored.begin(), stored.end() - 1), "end-title text", "no 0 byte"});
    cases.push_back({"a byte added", stored, "end-title text", "1 byte follows"});
    cases.back().bytes.push_back(0);
    // One bit changed inside each item that carries a check.
    auto flip = [&](const std::string& item, std::size_t at, const std::string& says, std::uint8_t bits = 0x20) {
        Bytes b = stored;
        b[at] ^= bits;
        cases.push_back({item + " changed at " + std::to_string(at), b, item, says});
    };
    // In the middle of each picture, and in its last chunk (IEND: its CRC's last byte).
    for (const char* name : {"prelude picture 0", "prelude picture 1", "prelude picture 2", "prelude picture 3", "end-title font"}) {
        const datafile::Finding& f = items.at(name);
        flip(f.item, f.offset + f.size / 2, "its CRC does not match");
        flip(f.item, f.offset + f.size - 1, "chunk IEND at offset " + std::to_string(f.offset + f.size - 12));
    }
    const datafile::Finding& font = items.at("end-title font");
    flip(font.item, font.offset + 16, "chunk IHDR at offset " + std::to_string(font.offset + 8));
    for (const char* name : {"prelude soundtrack", "main soundtrack"}) {
        const datafile::Finding& f = items.at(name);
        std::vector<std::size_t> frames = testbox::ac3_frame_starts(plain, f.offset, f.offset + f.size);
        std::size_t k = frames.size() / 2;
        std::string where = "frame " + std::to_string(k) + " at offset " + std::to_string(frames[k]);
        flip(name, frames[k] + 1, where + " has no sync word");
        flip(name, frames[k] + 2, where + ": crc1 and crc2 fail");
        flip(name, frames[k + 1] - 3, where + ": crc2 fails");
        // Sample rate code 3: the player stops at such a frame, and refuses a stream
        // that starts with one.
        flip(name, frames[k] + 4, where + ": sample rate code 3, the music stops there", ~plain[frames[k] + 4] & 0xC0);
        flip(name, frames[0] + 4, "frame 0 at offset " + std::to_string(frames[0]) + ": sample rate code 3, the show refuses",
             ~plain[frames[0] + 4] & 0xC0);
    }
    const datafile::Finding& text = items.at("end-title text");
    flip(text.item, text.offset + text.size - 1, "no 0 byte");

    for (const Damage& d : cases) {
        datafile::Check c = check_bytes(d.bytes);
        EXPECT_TRUE(c.damaged) << d.name;
        const datafile::Finding* bad = first_bad(c);
        ASSERT_NE(bad, nullptr) << d.name;
        EXPECT_EQ(bad->item, d.item) << d.name << "\n" << datafile::report(c);
        EXPECT_NE(bad->what.find(d.says), std::string::npos) << d.name << ": " << bad->what;
    }

    // The command says the same and ends with status 1, with one line on standard error
    // naming the damaged file: the data file, or the logo beside a good one.
    std::string path = testbox::temp_dir() + "/damaged.dat", logo = testbox::temp_dir() + "/logo.png";
    testbox::write_file(path, cases.back().bytes);
    Bytes logo_bytes = testbox::read_file(std::string(BOX_ROOT) + "/mnt/html/gui/Velmaris.png");
    logo_bytes[logo_bytes.size() / 2] ^= 0x20;
    testbox::write_file(logo, logo_bytes);
    for (const auto& [args, item, said] :
         {std::tuple{path, "end-title text", "demo-data: " + path + ": damaged: the show would not read it as it was made\n"},
          std::tuple{kDataFile + " " + logo, "logo", "demo-data: " + logo + ": not the logo the show needs\n"}}) {
        std::string cmd = testbox::program("src/data/demo-data") + " check " + args + " > " + path + ".txt 2> " + path + ".err";
        EXPECT_EQ(testbox::exit_code(std::system(cmd.c_str())), 1) << args;
        EXPECT_NE(testbox::text_of(path + ".txt").find(item), std::string::npos) << args;
        EXPECT_EQ(testbox::text_of(path + ".err"), said);
    }
}

// A changed byte in the first 5/8 of a frame fails crc1 and crc2, one after them crc2
// alone; ffmpeg's decoder, checking the frame's CRC, finds exactly the same frames.
TEST(DataCheck, FrameCrcsAgreeWithFfmpeg) {
    Bytes main_track = testbox::read_file(std::string(CONTENT_DIR) + "/main.ac3");
    std::vector<std::size_t> frames = testbox::ac3_frame_starts(main_track);
    ASSERT_GT(frames.size(), 100u);
    std::size_t len = frames[1] - frames[0];
    for (std::size_t k = 0; k < 100; k++) ASSERT_EQ(datafile::ac3_crc_failures(&main_track[frames[k]], len), 0) << k;
    const std::size_t early = len * 5 / 8 - 2, late = len * 5 / 8 + 2;
    main_track[frames[10] + 40] ^= 0x01;
    main_track[frames[20] + early] ^= 0x80;
    main_track[frames[30] + late] ^= 0x04;
    main_track[frames[40] + len - 1] ^= 0x10;
    int failing = 0;
    for (std::size_t k = 0; k < 100; k++) failing += datafile::ac3_crc_failures(&main_track[frames[k]], len) != 0;
    EXPECT_EQ(failing, 4);
    EXPECT_EQ(datafile::ac3_crc_failures(&main_track[frames[10]], len), 3);
    EXPECT_EQ(datafile::ac3_crc_failures(&main_track[frames[20]], len), 3);
    EXPECT_EQ(datafile::ac3_crc_failures(&main_track[frames[30]], len), 2);
    EXPECT_EQ(datafile::ac3_crc_failures(&main_track[frames[40]], len), 2);

    std::string path = testbox::temp_dir() + "/flipped.ac3";
    main_track.resize(frames[100]);
    testbox::write_file(path, main_track);
    std::string cmd = "ffmpeg -nostdin -loglevel repeat+error -err_detect crccheck -i " + path + " -f null - 2> " + path + ".txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string log = testbox::text_of(path + ".txt");
    int mismatches = 0;
    for (std::size_t at = 0; (at = log.find("frame CRC mismatch", at)) != std::string::npos; at++) mismatches++;
    EXPECT_EQ(mismatches, 4) << log;
}

// The builder reads the file as the show will before writing it: a soundtrack whose
// frame has a changed byte is refused and no file is made; a soundtrack too short for
// the whole show is said.
TEST(DataCheck, BuildRefusesAFileTheShowWouldNotRead) {
    std::string dir = testbox::temp_dir();
    std::string items = std::string(CONTENT_DIR) + "/";
    Bytes tone = testbox::tone_ac3();
    tone[1000] ^= 0x08;
    testbox::write_file(dir + "/bad.ac3", tone);
    auto build = [&](const std::string& main_track) {
        std::string cmd = testbox::program("src/data/demo-data") + " build " + dir + "/out.dat";
        for (const char* p : {"pic0.png", "pic1.png", "pic2.png", "pic3.png", "prelude.ac3"}) cmd += " " + items + p;
        cmd += " " + main_track + " " + items + "font.png " + items + "titles.txt > " + dir + "/build.txt 2>&1";
        return testbox::exit_code(std::system(cmd.c_str()));
    };
    EXPECT_EQ(build(dir + "/bad.ac3"), 1);
    EXPECT_NE(testbox::text_of(dir + "/build.txt").find("main soundtrack"), std::string::npos) << testbox::text_of(dir + "/build.txt");
    EXPECT_FALSE(std::ifstream(dir + "/out.dat").good());
    EXPECT_EQ(build(std::string(TEST_DATA_DIR) + "/tone48.ac3"), 0);
    EXPECT_NE(testbox::text_of(dir + "/build.txt").find("too short"), std::string::npos) << testbox::text_of(dir + "/build.txt");
}

}  // namespace
