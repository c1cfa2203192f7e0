#include "FakeCapture.h"

#include "media/VideoFramePool.h"

#include <optional>

namespace testsupport {

namespace {

// Images of the target's size whose first byte counts the grabs of this grabber.
class FakeGrabber : public ScreenGrabber
{
public:
    FakeGrabber(FakeCaptureWorld* world, Kind kind) : w_(world), kind_(kind) {}
    ~FakeGrabber() override { w_->advance(w_->releaseCostUs); }

    bool setScreenRect(const QRect& rect, QString* error) override
    {
        w_->calls << QStringLiteral("rect %1,%2 %3x%4")
                         .arg(rect.x())
                         .arg(rect.y())
                         .arg(rect.width())
                         .arg(rect.height());
        if (refused(error))
            return false;
        rect_ = rect;
        window_.reset();
        return true;
    }
    bool setWindow(NativeWindow window, QString* error) override
    {
        w_->calls << QStringLiteral("window %1").arg(window, 0, 16);
        if (refused(error))
            return false;
        window_ = window;
        return true;
    }
    void prepare(std::size_t bytes) override
    {
        w_->calls << QStringLiteral("prepare %1").arg(bytes);
        w_->advance(w_->prepareCostUs);
    }
    Result grab(VideoFramePool& pool, SharedFrame* frame) override
    {
        w_->calls << QStringLiteral("grab");
        const int index = grabs_++;
        w_->advance(w_->grabCostUs);
        const Result result = w_->answer ? w_->answer(kind_, index) : Result::Frame;
        if (result != Result::Frame)
            return result;
        QSize size = rect_.size();
        if (window_) // a desktop's stream of a window is window 0
            size = w_->desktop.windows.value(*window_).outer.size();
        if (size.isEmpty())
            return Result::Failed;
        *frame = pool.acquire(size.width(), size.height());
        (*frame)->data[0][0] = static_cast<std::uint8_t>(index);
        lastSize_ = size;
        return Result::Frame;
    }
    QSize lastSize() const override { return lastSize_; }

private:
    bool refused(QString* error) const
    {
        if (!w_->refusing.contains(kind_))
            return false;
        if (error)
            *error = QStringLiteral("refused");
        return true;
    }

    FakeCaptureWorld* w_;
    Kind kind_;
    QRect rect_;
    std::optional<NativeWindow> window_;
    int grabs_ = 0;
    QSize lastSize_;
};

} // namespace

std::shared_ptr<CaptureClockQpc> FakeCaptureWorld::clock()
{
    return std::make_shared<CaptureClockQpc>([this] { return nowUs; }, 1000000);
}

void FakeCaptureWorld::advance(std::int64_t us)
{
    nowUs += us;
    if (at)
        at(nowUs);
}

CapturePlatform FakeCaptureWorld::platform()
{
    CapturePlatform p;
    p.openWindowSystem = [this](QString*) -> std::unique_ptr<WindowSystem> {
        return std::make_unique<FakeWindowSystem>(&desktop);
    };
    p.createGrabber = [this](ScreenGrabber::Kind kind,
                             QString* error) -> std::unique_ptr<ScreenGrabber> {
        static const char* const names[] = {"Compatible", "SharedMemory", "Composite"};
        calls << QStringLiteral("create %1").arg(QLatin1String(names[int(kind)]));
        if (unavailable.contains(kind)) {
            if (error)
                *error = QStringLiteral("unavailable");
            return nullptr;
        }
        return std::make_unique<FakeGrabber>(this, kind);
    };
    p.sleepMs = [this](int ms) { advance(std::int64_t(ms) * 1000); };
    p.pacing.steadyNs = [this] { return nowUs * 1000; };
    p.pacing.sleepMs = p.sleepMs;
    p.pacing.sleepNs = [this](std::int64_t ns) { advance(ns / 1000); };
    return p;
}

} // namespace testsupport
