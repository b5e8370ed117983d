#include "play/live.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "play/ac3decoder.h"

namespace play {
namespace {

// SDL keeps some state of its own (its D-Bus connection) until the last part of it
// is shut down.
void quit_sdl(Uint32 subsystem) {
    SDL_QuitSubSystem(subsystem);
    if (SDL_WasInit(SDL_INIT_EVERYTHING) == 0) SDL_Quit();
}

}  // namespace

LiveWindow::~LiveWindow() {
    if (texture_ != nullptr) SDL_DestroyTexture(texture_);
    if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
    if (window_ != nullptr) SDL_DestroyWindow(window_);
    if (window_ != nullptr) quit_sdl(SDL_INIT_VIDEO);
}

bool LiveWindow::open(std::string& why) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        why = SDL_GetError();
        return false;
    }
    // Where the display named (DISPLAY, WAYLAND_DISPLAY) does not answer, SDL falls back
    // on a driver that shows nothing: a window no one would see. Such a driver is taken
    // only when asked for by name (SDL_VIDEODRIVER).
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = std::getenv("SDL_VIDEODRIVER");
    if (driver != nullptr && (asked == nullptr || asked[0] == '\0') &&
        (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0)) {
        why = std::string("no display answers: SDL could only open its ") + driver + " driver";
        quit_sdl(SDL_INIT_VIDEO);
        return false;
    }
    window_ = SDL_CreateWindow("demo-play", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 2 * Screen::kWidth,
                               2 * Screen::kHeight, SDL_WINDOW_RESIZABLE);
    if (window_ == nullptr) {
        why = SDL_GetError();
        quit_sdl(SDL_INIT_VIDEO);
        return false;
    }
    // Pixels stay sharp: nearest-neighbour scaling, by whole multiples only.
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (renderer_ != nullptr) {
        SDL_RenderSetLogicalSize(renderer_, Screen::kWidth, Screen::kHeight);
        SDL_RenderSetIntegerScale(renderer_, SDL_TRUE);
        texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, Screen::kWidth,
                                     Screen::kHeight);
    }
    if (texture_ == nullptr) {
        why = SDL_GetError();
        return false;
    }
    SDL_ShowCursor(SDL_DISABLE);
    return true;
}

void LiveWindow::draw() {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
}

void LiveWindow::show(const Screen& screen) {
    to_rgb32(screen, rgb_.data());
    SDL_UpdateTexture(texture_, nullptr, rgb_.data(), int(Screen::kWidth * sizeof(std::uint32_t)));
    draw();
    SDL_RenderPresent(renderer_);
}

std::vector<std::uint32_t> LiveWindow::read_back(int& width, int& height) {
    draw();
    SDL_GetRendererOutputSize(renderer_, &width, &height);
    std::vector<std::uint32_t> out(std::size_t(width) * std::size_t(height));
    // The whole output, not the logical area: read with no viewport.
    SDL_Rect all = {0, 0, width, height};
    SDL_RenderSetLogicalSize(renderer_, 0, 0);
    SDL_RenderSetViewport(renderer_, nullptr);
    if (SDL_RenderReadPixels(renderer_, &all, SDL_PIXELFORMAT_RGB888, out.data(), width * int(sizeof(std::uint32_t))) != 0)
        out.clear();
    for (std::uint32_t& p : out) p &= 0xFFFFFF;
    SDL_RenderSetLogicalSize(renderer_, Screen::kWidth, Screen::kHeight);
    return out;
}

LiveWindow::Input LiveWindow::pump() {
    Input input = Input::None;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT ||
            (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE) ||
            (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE))
            input = Input::Stop;
        else if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_f && event.key.repeat == 0)
            SDL_SetWindowFullscreen(window_, full_screen() ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
    }
    return input;
}

bool LiveWindow::full_screen() const { return (SDL_GetWindowFlags(window_) & SDL_WINDOW_FULLSCREEN_DESKTOP) != 0; }

WindowThread::~WindowThread() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool WindowThread::open(std::string& why) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return opened_ || quit_; });
    if (opened_) return true;
    why = failure_;
    lock.unlock();
    thread_.join();
    return false;
}

// The window lives and dies on this thread: SDL wants its window, its drawing and its
// events handled on the thread that made them.
void WindowThread::run() {
    LiveWindow window;
    std::string why;
    bool opened = window.open(why);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = opened;
        quit_ = !opened;
        failure_ = why;
    }
    wake_.notify_all();
    if (!opened) return;
    Screen drawing;
    for (;;) {
        bool draw = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // Events are looked at every 10 ms when there is nothing to draw.
            wake_.wait_for(lock, std::chrono::milliseconds(10), [&] { return fresh_ || quit_; });
            if (quit_) return;
            if (fresh_) {
                std::swap(drawing, next_);
                fresh_ = false;
                draw = true;
            }
        }
        if (draw) window.show(drawing);
        if (window.pump() == LiveWindow::Input::Stop) stop_requested_ = true;
    }
}

void WindowThread::show(Screen& screen) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(screen, next_);
        fresh_ = true;
    }
    wake_.notify_one();
}

LiveSound::~LiveSound() {
    if (device_ != 0) {
        SDL_CloseAudioDevice(device_);
        quit_sdl(SDL_INIT_AUDIO);
    }
}

bool LiveSound::open(std::string& why) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        why = SDL_GetError();
        return false;
    }
    SDL_AudioSpec want{};
    want.freq = Ac3Decoder::kRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = kBufferFrames;
    want.callback = pull;
    want.userdata = this;
    SDL_AudioSpec got{};
    device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &got, 0);
    if (device_ == 0) {
        why = SDL_GetError();
        quit_sdl(SDL_INIT_AUDIO);
        return false;
    }
    clock_ = std::make_unique<StreamClock>(StreamClock::Output{Ac3Decoder::kRate, got.samples, kLead, kShowAhead});
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

void LiveSound::pull(void* self, Uint8* out, int len) {
    auto* sound = static_cast<LiveSound*>(self);
    auto* samples = reinterpret_cast<float*>(out);
    std::size_t want = std::size_t(len) / sizeof(float);
    std::size_t have = std::min(want, sound->queue_.size());
    std::copy_n(sound->queue_.begin(), have, samples);
    sound->queue_.erase(sound->queue_.begin(), sound->queue_.begin() + std::ptrdiff_t(have));
    std::fill(samples + have, samples + want, 0.0f);
    sound->clock_->pulled(steady_now_us(), std::uint32_t(want / 2), std::uint32_t(have / 2));
}

void LiveSound::add(const float* samples, std::size_t frames) {
    SDL_LockAudioDevice(device_);
    clock_->added(steady_now_us(), frames);
    queue_.insert(queue_.end(), samples, samples + 2 * frames);
    SDL_UnlockAudioDevice(device_);
}

void LiveSound::pad_stream(std::uint64_t taken, std::uint32_t device_rate, std::uint64_t coming) {
    if (std::uint64_t frames = clock_->silence_due(taken, device_rate, coming)) {
        std::vector<float> silence(std::size_t(2 * frames), 0.0f);
        add(silence.data(), std::size_t(frames));
    }
}

void LiveSound::discard() {
    SDL_LockAudioDevice(device_);
    clock_->discard(steady_now_us());
    queue_.clear();
    SDL_UnlockAudioDevice(device_);
}

}  // namespace play
