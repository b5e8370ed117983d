// The data file's layout: building it with demo-data, its refusals, and reading it
// back the way the show does.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/encryption.h"
#include "show/seeds.h"
#include "show/vidparm.h"
#include "testbox.h"

namespace {

using testbox::Bytes;

PalettePicture picture(int w, int h, int colours) {
    PalettePicture p;
    p.width = w;
    p.height = h;
    p.pixels.resize(std::size_t(w) * std::size_t(h));
    for (std::size_t i = 0; i < p.pixels.size(); i++) p.pixels[i] = std::uint8_t(i / 61 % colours);
    for (int i = 0; i < colours; i++) p.palette.push_back({std::uint8_t(i * 3), std::uint8_t(i), 7});
    return p;
}

struct Inputs {
    std::string dir = testbox::temp_dir() + "/items";
    std::string pics[4], prelude, main_track, font, titles, out;
    Inputs() {
        for (int i = 0; i < 4; i++) {
            pics[i] = dir + "/pic" + std::to_string(i) + ".png";
            testbox::write_file(pics[i], encode_png(i == 0 ? picture(640, 480, 16) : picture(64, 67, 4)));
        }
        prelude = dir + "/prelude.ac3";
        main_track = dir + "/main.ac3";
        font = dir + "/font.png";
        titles = dir + "/titles.txt";
        out = dir + "/show.dat";
        testbox::write_file(prelude, testbox::tone_ac3());
        testbox::write_file(main_track, testbox::tone_ac3());
        testbox::write_file(font, encode_png(picture(128, 128, 2)));
        testbox::write_file(titles, Bytes{'H', 'I', '\n', 'Y', 'O', 'U', 0});
    }
    // demo-data build to `to` (out unless told), what it says on standard error in `said`.
    int build(const std::string& said = "/dev/null", const std::string& to = "") const {
        std::string cmd = testbox::program("src/data/demo-data") + " build " + (to.empty() ? out : to);
        for (const auto& p : pics) cmd += " " + p;
        cmd += " " + prelude + " " + main_track + " " + font + " " + titles + " > /dev/null 2> " + said;
        return std::system(cmd.c_str());
    }
};

// Makes the prelude soundtrack (several copies of the test tone) about `bytes` long.
void prelude_of(const Inputs& in, std::size_t bytes, int rate = 48000) {
    Bytes tone = testbox::tone_ac3(rate), track;
    while (track.size() + tone.size() <= bytes) track.insert(track.end(), tone.begin(), tone.end());
    std::size_t frame = testbox::ac3_frames(tone)[0].size();
    while (track.size() + frame <= bytes) track.insert(track.end(), tone.begin(), tone.begin() + long(frame));
    testbox::write_file(in.prelude, track);
}

std::size_t pictures_size(const Inputs& in) {
    std::size_t n = 0;
    for (const auto& p : in.pics) n += testbox::read_file(p).size();
    return n;
}

TEST(DataFile, BuildsTheLayoutWithTheMainSoundtrackAt181002) {
    Inputs in;
    prelude_of(in, 150000);
    ASSERT_EQ(in.build(), 0);
    const Bytes stored = testbox::read_file(in.out);
    Bytes plain = stored;
    std::vector<datafile::Item> items;
    std::string why;
    ASSERT_TRUE(datafile::unscramble_and_split(plain, items, why)) << why;
    ASSERT_EQ(items.size(), 9u);
    EXPECT_EQ(items[6].name, "main soundtrack");
    EXPECT_EQ(items[6].offset, 181002u);
    EXPECT_EQ(items[6].frames, datafile::scan_ac3(testbox::tone_ac3(), 0).frames);
    EXPECT_EQ(items[8].size, 7u);

    // Picture 0 was padded and still decodes to the same picture.
    Bytes pic0(plain.begin(), plain.begin() + long(items[0].size));
    PalettePicture decoded;
    ASSERT_TRUE(decode_png(pic0, decoded));
    EXPECT_EQ(decoded.pixels, picture(640, 480, 16).pixels);

    // The show reads it through the keystream: skip the prelude, then the main
    // soundtrack's first frame is there.
    std::FILE* f = std::fopen(in.out.c_str(), "rb");
    initcrypt(kDataSeed);
    ASSERT_EQ(cryptseek(f, kMainSoundtrackOffset, SEEK_CUR), 0);
    std::uint8_t head[2];
    cryptread(head, 1, 2, f);
    EXPECT_EQ(head[0], 0x0B);
    EXPECT_EQ(head[1], 0x77);
    std::fclose(f);

    // Two builds give the same bytes.
    ASSERT_EQ(in.build(), 0);
    EXPECT_EQ(testbox::read_file(in.out), stored);
}

TEST(DataFile, GivesUpPreludeFramesWhenAChunkWouldNotFit) {
    // At 44.1 kHz frames come in two lengths: what is given up is the last frame.
    for (int rate : {48000, 44100}) {
        Inputs in;
        prelude_of(in, 150000, rate);
        Bytes track = testbox::read_file(in.prelude);
        std::size_t have = track.size(), last = testbox::ac3_frames(track).back().size();
        // Grow picture 1 so that exactly 5 bytes stay free: too few for a chunk.
        std::size_t free_bytes = 181002 - 1 - pictures_size(in) - have;
        if (free_bytes < 5 + 12) {
            free_bytes += last;
            have -= last;
            track.resize(have);
            testbox::write_file(in.prelude, track);
            last = testbox::ac3_frames(track).back().size();
        }
        testbox::write_file(in.pics[1], datafile::pad_png(testbox::read_file(in.pics[1]), free_bytes - 5));
        ASSERT_EQ(181002 - 1 - pictures_size(in) - have, 5u);

        ASSERT_EQ(in.build(), 0) << rate;
        Bytes plain = testbox::read_file(in.out);
        std::vector<datafile::Item> items;
        std::string why;
        ASSERT_TRUE(datafile::unscramble_and_split(plain, items, why)) << why;
        EXPECT_EQ(items[4].size, have - last) << rate;
        EXPECT_EQ(items[6].offset, 181002u);
    }
}

TEST(DataFile, RefusesAPreludeThatLeavesNoRoomForThePictures) {
    Inputs in;
    prelude_of(in, 181002);
    EXPECT_EQ(testbox::exit_code(in.build()), 1);
}

TEST(DataFile, ListsItems) {
    Inputs in;
    prelude_of(in, 120000);
    ASSERT_EQ(in.build(), 0);
    std::string cmd = testbox::program("src/data/demo-data") + " list " + in.out + " > " + in.dir + "/list.txt";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string listing = testbox::text_of(in.dir + "/list.txt");
    EXPECT_NE(listing.find("main soundtrack"), std::string::npos);
    EXPECT_NE(listing.find("181002"), std::string::npos);
    // A damaged file is reported, not listed as good.
    Bytes stored = testbox::read_file(in.out);
    stored.resize(181010);
    testbox::write_file(in.out, stored);
    EXPECT_NE(std::system(cmd.c_str()), 0);
}

// Bad input ends demo-data with status 1 and one line on standard error naming the file
// at fault, never an abort: what is not a file, a picture whose header claims a size
// far beyond any picture, a damaged or empty source, a background that is not exactly
// one page, a text without its 0 byte or with bytes after it, a soundtrack cut inside
// a frame, a sound frame with a changed byte. A refused build leaves the file it would
// have replaced as it was, and no temporary file beside it.
TEST(DataFile, RefusesBadInputWithStatusOneAndALineNamingTheFile) {
    Inputs in;
    prelude_of(in, 100000);
    ASSERT_EQ(in.build(), 0);
    const Bytes built = testbox::read_file(in.out);
    const std::string said = in.dir + "/said.txt";
    auto expect_one_line_naming = [&](const std::string& file, const std::string& what) {
        const std::string text = testbox::text_of(said);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << what << ":\n" << text;
        EXPECT_NE(text.find(file), std::string::npos) << what << ":\n" << text;
    };
    const std::string tool = testbox::program("src/data/demo-data");
    // A folder, and a file without end.
    for (const std::string& file : {in.dir, std::string("/dev/zero")})
        for (const char* command : {" list ", " check "}) {
            EXPECT_EQ(testbox::exit_code(std::system((tool + command + file + " > /dev/null 2> " + said).c_str())), 1) << command << file;
            expect_one_line_naming(file, command + file);
        }

    Bytes giant = encode_png(picture(64, 67, 4));
    for (std::size_t at : {16, 20})  // IHDR's width and height: a million each
        for (int k = 0; k < 4; k++) giant[at + std::size_t(k)] = std::uint8_t(1000000u >> (24 - 8 * k));
    const std::uint32_t crc = std::uint32_t(crc32(0, giant.data() + 12, 17));
    for (int k = 0; k < 4; k++) giant[29 + std::size_t(k)] = std::uint8_t(crc >> (24 - 8 * k));
    PalettePicture pic;
    EXPECT_FALSE(decode_png(giant, pic));
    Bytes damaged_png = testbox::read_file(in.pics[0]);
    damaged_png[damaged_png.size() / 2] ^= 0x20;
    Bytes damaged_frame = testbox::tone_ac3();
    damaged_frame[1000] ^= 0x08;
    Bytes cut = testbox::tone_ac3();
    cut.resize(cut.size() - 10);
    struct Case {
        std::string what, file;
        Bytes bytes;
    };
    for (const Case& c : {Case{"a giant picture", in.pics[1], giant}, Case{"a damaged picture", in.pics[0], damaged_png},
                          Case{"a 320 x 240 background", in.pics[0], encode_png(picture(320, 240, 16))},
                          Case{"a 640 x 481 background", in.pics[0], encode_png(picture(640, 481, 16))},
                          Case{"an empty font", in.font, {}}, Case{"an empty text", in.titles, {}},
                          Case{"a text without its 0 byte", in.titles, {'N', 'O', ' ', 'E', 'N', 'D'}},
                          Case{"bytes after the text's 0 byte", in.titles, {'H', 'I', 0, 'X'}},
                          Case{"a soundtrack cut inside a frame", in.main_track, cut},
                          Case{"a sound frame with a changed byte", in.main_track, damaged_frame}}) {
        const Bytes good = testbox::read_file(c.file);
        testbox::write_file(c.file, c.bytes);
        EXPECT_EQ(testbox::exit_code(in.build(said)), 1) << c.what;
        expect_one_line_naming(c.file, c.what);
        EXPECT_EQ(testbox::read_file(in.out), built) << c.what;
        for (const auto& entry : std::filesystem::directory_iterator(in.dir))
            EXPECT_NE(entry.path().extension(), ".part") << c.what << ": " << entry.path();
        testbox::write_file(c.file, good);
    }
}

// The file goes where OUT leads, and what OUT is stays: a link to a file, or a device.
// A build refused leaves the file the link leads to as it was.
TEST(DataFile, WritesThroughLinksAndToDevicesWithoutRemovingThem) {
    Inputs in;
    prelude_of(in, 100000);
    ASSERT_EQ(in.build(), 0);
    const Bytes built = testbox::read_file(in.out);
    const std::string link = in.dir + "/link.dat";
    ASSERT_EQ(symlink(in.out.c_str(), link.c_str()), 0);
    Bytes damaged_frame = testbox::tone_ac3();
    damaged_frame[1000] ^= 0x08;
    const Bytes main_track = testbox::read_file(in.main_track);
    testbox::write_file(in.main_track, damaged_frame);
    EXPECT_EQ(testbox::exit_code(in.build("/dev/null", link)), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(testbox::read_file(in.out), built);
    testbox::write_file(in.main_track, main_track);
    EXPECT_EQ(testbox::exit_code(in.build("/dev/null", link)), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(testbox::read_file(in.out), built);

    const std::string device = in.dir + "/null";
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "no device node can be made here";
    EXPECT_EQ(testbox::exit_code(in.build("/dev/null", device)), 0);
    EXPECT_TRUE(std::filesystem::is_character_file(device));
}

TEST(DataFile, ScanStopsLikeThePlayer) {
    Bytes tone = testbox::tone_ac3();
    datafile::Ac3Run whole = datafile::scan_ac3(tone, 0);
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.bytes, tone.size());
    EXPECT_EQ(whole.rate, 48000u);
    Bytes more = tone;
    more.push_back(0x89);
    EXPECT_EQ(datafile::scan_ac3(more, 0).bytes, tone.size());
    Bytes cut(tone.begin(), tone.end() - 1);
    EXPECT_FALSE(datafile::scan_ac3(cut, 0).ok);
    EXPECT_EQ(datafile::png_length(tone, 0), 0u);
}

// The list is scrambled only when it has the format, and a list that does not reach
// the disk whole (it is far smaller than the file's buffer) is a failure.
TEST(WordList, IsScrambledOnlyWhenItHasTheFormatAndWrittenWhole) {
    std::string dir = testbox::temp_dir();
    const std::string ok = std::string("WE\nLOVE\nTHE\nBOX\nFIRE\nBURNS\nSO\nBRIGHT") + '\0';
    testbox::write_file(dir + "/ok.txt", Bytes(ok.begin(), ok.end()));
    std::string tool = testbox::program("src/data/demo-data") + " words ";
    ASSERT_EQ(std::system((tool + dir + "/ok.txt " + dir + "/ok.crypt").c_str()), 0);
    Bytes crypt = testbox::read_file(dir + "/ok.crypt");
    simplecrypt(crypt.data(), crypt.size(), kWordsSeed);
    EXPECT_EQ(crypt, testbox::read_file(dir + "/ok.txt"));
    testbox::write_file(dir + "/short.txt", Bytes{'A', '\n', 0});
    EXPECT_NE(std::system((tool + dir + "/short.txt " + dir + "/short.crypt 2>/dev/null").c_str()), 0);
    // The show prints the list up to its first 0 byte: a word after an earlier 0 would
    // never reach the console. A word's mask is centred on the fire's 159 columns,
    // which hold six letters of 24 cells: a seventh starts left of column 0.
    Bytes early_zero = testbox::read_file(dir + "/ok.txt");
    early_zero[2] = 0;
    testbox::write_file(dir + "/early-zero.txt", early_zero);
    EXPECT_NE(std::system((tool + dir + "/early-zero.txt " + dir + "/early-zero.crypt 2>/dev/null").c_str()), 0);
    const std::string seven = std::string("WE\nLOVE\nTHE\nBOX\nFIRE\nBURNING\n\nBRIGHT") + '\0';
    ASSERT_EQ(seven.size(), 37u);
    testbox::write_file(dir + "/seven.txt", Bytes(seven.begin(), seven.end()));
    EXPECT_NE(std::system((tool + dir + "/seven.txt " + dir + "/seven.crypt 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + dir + "/ok.txt /dev/full 2>/dev/null").c_str()), 0);
}

}  // namespace
