// The emulated OSS sound device: negotiation, draining against the clock, blocking
// writes, underruns, and the IEC 61937 receiver behind it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/soundcard.h>

#include "box/box.h"
#include "testbox.h"

namespace {

class Dsp : public ::testing::Test {
protected:
    void SetUp() override {
        box_ = &testbox::fresh_box();
        fd_ = testbox::open_dsp();
    }
    int odelay() {
        int d = -1;
        EXPECT_EQ(box::ioctl(fd_, SNDCTL_DSP_GETODELAY, &d), 0);
        return d;
    }
    emu::Box* box_ = nullptr;
    int fd_ = -1;
    std::vector<std::uint8_t> zeros_ = std::vector<std::uint8_t>(65536, 0);
};

TEST_F(Dsp, DrainsAtFourBytesASampleFrame) {
    ASSERT_EQ(box::write(fd_, zeros_.data(), 6144), 6144);
    std::uint64_t t0 = box_->clock.now_us();
    box::usleep(16000);  // 768 sample frames
    // Of 6144 bytes, one whole 4096-byte fragment went to the device.
    EXPECT_EQ(box_->dsp.queued(), 4096u - 3072u);
    EXPECT_EQ(box_->dsp.held(), 2048u);
    ASSERT_EQ(box::write(fd_, zeros_.data(), 2048), 2048);
    EXPECT_EQ(box_->dsp.queued(), 8192u - 3072u);
    // A poll of the output delay takes a little virtual time.
    int d = odelay();
    EXPECT_EQ(box_->clock.now_us(), t0 + 16000 + box_->config.poll_us);
    EXPECT_LT(d, 8192 - 3072);
    EXPECT_GT(d, 8192 - 3072 - 20);
    box::usleep(100000);
    EXPECT_EQ(odelay(), 0);
}

TEST_F(Dsp, AWriteBeyondTheBufferBlocksUntilItFits) {
    ASSERT_EQ(box::write(fd_, zeros_.data(), 65536), 65536);
    std::uint64_t t0 = box_->clock.now_us();
    ASSERT_EQ(box::write(fd_, zeros_.data(), 8192), 8192);
    std::uint64_t waited = box_->clock.now_us() - t0;
    // 8192 bytes play in 42.7 ms.
    EXPECT_GE(waited, 42666u);
    EXPECT_LE(waited, 42766u);
    EXPECT_LE(box_->dsp.queued(), 65536u);
    EXPECT_EQ(box_->dsp.underruns, 0u);
}

TEST_F(Dsp, CountsTheBufferRunningDryBetweenWrites) {
    ASSERT_EQ(box::write(fd_, zeros_.data(), 6144), 6144);
    box::usleep(20000);
    ASSERT_EQ(box::write(fd_, zeros_.data(), 6144), 6144);
    EXPECT_EQ(box_->dsp.underruns, 0u);
    box::usleep(100000);
    EXPECT_EQ(box_->dsp.underruns, 0u);  // seen only when the stream goes on
    ASSERT_EQ(box::write(fd_, zeros_.data(), 6144), 6144);
    EXPECT_EQ(box_->dsp.underruns, 1u);
    EXPECT_GE(box_->dsp.longest_feed_gap_us, 100000u);
    EXPECT_LE(box_->dsp.longest_feed_gap_us, 101000u);
    // A reset empties the buffer on purpose: no underrun.
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_RESET, nullptr), 0);
    EXPECT_EQ(odelay(), 0);
    ASSERT_EQ(box::write(fd_, zeros_.data(), 6144), 6144);
    EXPECT_EQ(box_->dsp.underruns, 1u);
}

// The driver decides the fragment size. A partly filled fragment is held back: it does
// not play, is not in the output delay, and no signal of the OSS interface sends it on;
// it goes to the device when it fills or the device is closed.
TEST(DspFragments, APartlyFilledFragmentWaitsUntilItFillsOrTheDeviceCloses) {
    for (std::uint32_t insisted : {0u, 24600u}) {
        emu::Config config;
        config.dsp_fragment = insisted;
        emu::Box& dev = testbox::fresh_box(config);
        int fd = box::open("/dev/dsp", O_WRONLY);
        ASSERT_GE(fd, 0);
        int v = 0x7FFF000C;
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_SETFRAGMENT, &v), 0);
        v = 48000;
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_SPEED, &v), 0);
        int fragment = 0;
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_GETBLKSIZE, &fragment), 0);
        EXPECT_EQ(fragment, insisted != 0 ? 24600 : 4096);
        std::vector<std::uint8_t> zeros(std::size_t(fragment), 0);
        int odelay = -1;

        ASSERT_EQ(box::write(fd, zeros.data(), std::size_t(fragment) - 4), fragment - 4);
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_POST, nullptr), 0);
        box::usleep(200000);
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_GETODELAY, &odelay), 0);
        EXPECT_EQ(odelay, 0);
        EXPECT_EQ(dev.dsp.held(), std::size_t(fragment) - 4);

        ASSERT_EQ(box::write(fd, zeros.data(), 8), 8);
        ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_GETODELAY, &odelay), 0);
        EXPECT_NEAR(odelay, fragment, 12);
        EXPECT_EQ(dev.dsp.held(), 4u);

        std::uint64_t t0 = dev.clock.now_us();
        ASSERT_EQ(box::close(fd), 0);
        // The close played the whole fragment and the 4 bytes held back, filled up with
        // silence to a whole fragment as the kernel's OSS layer does.
        EXPECT_NEAR(double(dev.clock.now_us() - t0), 2 * fragment / 4 * 1e6 / 48000, 100) << insisted;
        EXPECT_EQ(dev.dsp.underruns, 0u);
    }
}

TEST_F(Dsp, RefusesRequestsOnAClosedDevice) {
    ASSERT_EQ(box::close(fd_), 0);
    int d = 0;
    EXPECT_EQ(box::ioctl(fd_, SNDCTL_DSP_GETODELAY, &d), -1);
    EXPECT_EQ(box::write(fd_, zeros_.data(), 4), -1);
    EXPECT_EQ(errno, EBADF);
    // Opening again starts a new stream with the device's defaults.
    int fd = box::open("/dev/dsp", O_WRONLY);
    ASSERT_GE(fd, 0);
    int v = 0;
    ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_SETFMT, &v), 0);
    EXPECT_EQ(box::open("/dev/dsp", O_WRONLY), -1);  // one stream at a time
    EXPECT_EQ(errno, EBUSY);
}

// AFMT_QUERY asks for the format in use and changes nothing.
TEST_F(Dsp, ReportsTheRateAndTheFormatItSettledOn) {
    box_->config.dsp_rate_error = -0.04;
    int v = 48000;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SPEED, &v), 0);
    EXPECT_EQ(v, 46080);
    v = AFMT_QUERY;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFMT, &v), 0);
    EXPECT_EQ(v, AFMT_S16_LE);
    box_->config.faults.insert(emu::Fault::DspFormat);
    v = AFMT_S16_LE;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFMT, &v), 0);
    EXPECT_EQ(v, AFMT_U8);
    for (int query = 0; query < 2; query++) {
        v = AFMT_QUERY;
        ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFMT, &v), 0);
        EXPECT_EQ(v, AFMT_U8);
    }
}

// As with the kernel's OSS layer: the fragment is asked for once per open (a second
// request is refused and the first stands), and sizes past 2^24 are refused outright.
TEST_F(Dsp, GrantsOneFragmentRequestPerOpen) {
    int v = 0x7FFF0019;  // 2^25 bytes
    EXPECT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, &v), -1);
    EXPECT_EQ(errno, EINVAL);
    v = 0x7FFF000B;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, &v), 0);
    v = 0x7FFF000D;
    EXPECT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, &v), -1);
    EXPECT_EQ(errno, EINVAL);
    int fragment = 0;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_GETBLKSIZE, &fragment), 0);
    EXPECT_EQ(fragment, 2048);
    // A new open may ask again.
    ASSERT_EQ(box::close(fd_), 0);
    fd_ = testbox::open_dsp();
    v = 0x7FFF000D;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, &v), 0);
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_GETBLKSIZE, &fragment), 0);
    EXPECT_EQ(fragment, 8192);
}

// The kernel's OSS layer takes up to 128 channels (a count read as unsigned) and
// refuses more; the device settles on what it has.
TEST_F(Dsp, RefusesMoreThan128Channels) {
    for (int asked : {129, -1}) {
        int v = asked;
        EXPECT_EQ(box::ioctl(fd_, SNDCTL_DSP_CHANNELS, &v), -1) << asked;
        EXPECT_EQ(errno, EINVAL) << asked;
        EXPECT_EQ(v, asked);
    }
    int v = 128;
    ASSERT_EQ(box::ioctl(fd_, SNDCTL_DSP_CHANNELS, &v), 0);
    EXPECT_EQ(v, 2);
}

// A burst the way a transmitter builds it: preamble, the frame in swapped pairs.
std::vector<std::uint8_t> burst(const std::vector<std::uint8_t>& frame, unsigned pc = 1) {
    std::vector<std::uint8_t> b(6144, 0);
    const std::uint8_t head[8] = {0x72, 0xF8, 0x1F, 0x4E, std::uint8_t(pc), 0x00, 0x20, 0x57};
    std::copy(head, head + 8, b.begin());
    for (std::size_t i = 0; i < frame.size(); i++) b[8 + (i ^ 1)] = frame[i];
    return b;
}

std::vector<std::uint8_t> frame(unsigned fscod, unsigned code, std::size_t len) {
    std::vector<std::uint8_t> f(len, 0x5A);
    f[0] = 0x0B;
    f[1] = 0x77;
    f[4] = std::uint8_t(fscod << 6 | code);
    return f;
}

TEST(Receiver, FrameLengthsFollowTheHeader) {
    using R = emu::Iec61937Receiver;
    EXPECT_EQ(R::ac3_frame_length(0, 0), 128u);
    EXPECT_EQ(R::ac3_frame_length(1, 0), 138u);
    EXPECT_EQ(R::ac3_frame_length(1, 1), 140u);
    EXPECT_EQ(R::ac3_frame_length(2, 0), 192u);
    EXPECT_EQ(R::ac3_frame_length(0, 37), 2560u);
    EXPECT_EQ(R::ac3_frame_length(1, 37), 2788u);
    EXPECT_EQ(R::ac3_frame_length(2, 37), 3840u);
    EXPECT_EQ(R::ac3_frame_length(0, 38), 0u);
    EXPECT_EQ(R::ac3_frame_length(3, 0), 0u);
}

TEST(Receiver, TakesFramesOutOfBurstsFedInPieces) {
    emu::Iec61937Receiver rx;
    std::vector<std::vector<std::uint8_t>> got;
    std::vector<std::uint64_t> times;
    rx.on_frame = [&](std::uint64_t t, const std::uint8_t* d, std::size_t n) {
        got.emplace_back(d, d + n);
        times.push_back(t);
    };
    auto a = frame(0, 16, 512), b = frame(0, 0, 128);
    std::vector<std::uint8_t> stream = burst(a);
    auto bb = burst(b);
    stream.insert(stream.end(), 2, 0);  // two bytes of padding: bursts stay word aligned
    stream.insert(stream.end(), bb.begin(), bb.end());
    rx.feed(1000, stream.data(), 100);
    rx.feed(1000 + 100 * 1000000ull / 192000, stream.data() + 100, stream.size() - 100);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
    EXPECT_EQ(times[0], 1000u);
    EXPECT_EQ(times[1], 1000u + 6146ull * 1000000u / 192000u);
    EXPECT_EQ(rx.bad_bursts, 0u);
}

TEST(Receiver, RejectsBurstsThatAreNotAc3) {
    emu::Iec61937Receiver rx;
    int frames = 0;
    rx.on_frame = [&](std::uint64_t, const std::uint8_t*, std::size_t) { frames++; };
    auto wrong_type = burst(frame(0, 0, 128), 11);
    auto bad_code = burst(frame(0, 40, 128));
    auto no_sync = burst(frame(0, 0, 128));
    no_sync[9] = 0;
    for (auto* b : {&wrong_type, &bad_code, &no_sync}) rx.feed(0, b->data(), b->size());
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(rx.bursts, 3u);
    EXPECT_EQ(rx.bad_bursts, 3u);
}

}  // namespace

// What the device has taken in and its receiver read whole is known to be sound or not;
// bursts held back in a partly filled fragment, or not read whole, are not yet.
TEST(DspFragments, TakenCountsTheBurstsTheReceiverHasReadWhole) {
    emu::Config config;
    config.dsp_fragment = 24600;
    emu::Box& dev = testbox::fresh_box(config);
    int fd = box::open("/dev/dsp", O_WRONLY);
    ASSERT_GE(fd, 0);
    int v = 48000;
    ASSERT_EQ(box::ioctl(fd, SNDCTL_DSP_SPEED, &v), 0);
    const std::vector<std::uint8_t> b = burst(frame(0, 16, 512));
    ASSERT_EQ(box::write(fd, b.data(), b.size()), 6144);
    EXPECT_EQ(dev.dsp.taken(), 0u);
    for (int i = 0; i < 4; i++) ASSERT_EQ(box::write(fd, b.data(), b.size()), 6144);
    // 24,600 bytes went to the device: four bursts and 24 bytes of the fifth.
    EXPECT_EQ(dev.dsp.receiver.frames, 4u);
    EXPECT_EQ(dev.dsp.taken(), 4u * 6144u);
    ASSERT_EQ(box::close(fd), 0);
}
